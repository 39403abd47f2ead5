/* Compares abi.h with mingw-w64's own declarations of the same interfaces (its WinRT
 * headers compile only as C): identifiers, slot offsets and table sizes. Nothing here
 * runs; a mismatch fails the build. */
#include <stddef.h>
#include <windows.h>
#include <ole2.h>

/* Our declarations under other names, beside mingw-w64's. */
#define IUnknown bio_IUnknown
#define IUnknownVtbl bio_IUnknownVtbl
#define IInspectable bio_IInspectable
#define IInspectableVtbl bio_IInspectableVtbl
#define IAgileObject bio_IAgileObject
#define IAgileObjectVtbl bio_IAgileObjectVtbl
#define IActivationFactory bio_IActivationFactory
#define IActivationFactoryVtbl bio_IActivationFactoryVtbl
#define IAsyncInfo bio_IAsyncInfo
#define IAsyncInfoVtbl bio_IAsyncInfoVtbl
#define IErrorInfo bio_IErrorInfo
#define IErrorInfoVtbl bio_IErrorInfoVtbl
/* Identifiers become integer constants, split to fit an int. */
#define BIO_GUID_ENUM(prefix, name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                      \
    enum {                                                                                         \
        prefix##name##_lh = (int)(((unsigned long)(l) >> 16) & 0xFFFF),                            \
        prefix##name##_ll = (int)((unsigned long)(l)&0xFFFF),                                      \
        prefix##name##_w1 = (w1),                                                                  \
        prefix##name##_w2 = (w2),                                                                  \
        prefix##name##_b1 = (b1), prefix##name##_b2 = (b2), prefix##name##_b3 = (b3),              \
        prefix##name##_b4 = (b4), prefix##name##_b5 = (b5), prefix##name##_b6 = (b6),              \
        prefix##name##_b7 = (b7), prefix##name##_b8 = (b8)                                         \
    };
#define BIO_ABI_IID(name, ...) BIO_GUID_ENUM(ours_, name, __VA_ARGS__)
#include "winrt/abi.h"
#undef IUnknown
#undef IUnknownVtbl
#undef IInspectable
#undef IInspectableVtbl
#undef IAgileObject
#undef IAgileObjectVtbl
#undef IActivationFactory
#undef IActivationFactoryVtbl
#undef IAsyncInfo
#undef IAsyncInfoVtbl
#undef IErrorInfo
#undef IErrorInfoVtbl

/* Headers included from here on declare their identifiers as constants too. */
#undef DEFINE_GUID
#define DEFINE_GUID(name, ...) BIO_GUID_ENUM(, name, __VA_ARGS__)
#include <inspectable.h>
#include <asyncinfo.h>
#include <activation.h>
#include <windows.foundation.h>
#include <windows.storage.streams.h>
#include <windows.security.cryptography.h>

#define SAME_IID(ours, theirs)                                                                      \
    _Static_assert((int)ours_##ours##_lh == (int)theirs##_lh && (int)ours_##ours##_ll == (int)theirs##_ll &&            \
                       (int)ours_##ours##_w1 == (int)theirs##_w1 && (int)ours_##ours##_w2 == (int)theirs##_w2 &&        \
                       (int)ours_##ours##_b1 == (int)theirs##_b1 && (int)ours_##ours##_b2 == (int)theirs##_b2 &&        \
                       (int)ours_##ours##_b3 == (int)theirs##_b3 && (int)ours_##ours##_b4 == (int)theirs##_b4 &&        \
                       (int)ours_##ours##_b5 == (int)theirs##_b5 && (int)ours_##ours##_b6 == (int)theirs##_b6 &&        \
                       (int)ours_##ours##_b7 == (int)theirs##_b7 && (int)ours_##ours##_b8 == (int)theirs##_b8,          \
                   "identifier of " #ours " differs from mingw-w64's");
#define SAME_SLOT(ours, theirs, method)                                                             \
    _Static_assert(offsetof(ours, method) == offsetof(theirs, method), #ours "::" #method " is in the wrong slot");
#define SAME_SIZE(ours, theirs) _Static_assert(sizeof(ours) == sizeof(theirs), #ours " has the wrong number of methods");

#define SAME_UNKNOWN_SLOTS(ours, theirs)         \
    SAME_SLOT(ours, theirs, QueryInterface)      \
    SAME_SLOT(ours, theirs, AddRef)              \
    SAME_SLOT(ours, theirs, Release)
#define SAME_INSPECTABLE_SLOTS(ours, theirs)     \
    SAME_UNKNOWN_SLOTS(ours, theirs)             \
    SAME_SLOT(ours, theirs, GetIids)             \
    SAME_SLOT(ours, theirs, GetRuntimeClassName) \
    SAME_SLOT(ours, theirs, GetTrustLevel)

SAME_IID(bio_IInspectable, IID_IInspectable)
SAME_IID(bio_IAsyncInfo, IID_IAsyncInfo)
SAME_IID(bio_IActivationFactory, IID_IActivationFactory)
SAME_IID(IBuffer, IID___x_ABI_CWindows_CStorage_CStreams_CIBuffer)
SAME_IID(ICryptographicBufferStatics, IID___x_ABI_CWindows_CSecurity_CCryptography_CICryptographicBufferStatics)

SAME_UNKNOWN_SLOTS(bio_IUnknownVtbl, IUnknownVtbl)
SAME_SIZE(bio_IUnknownVtbl, IUnknownVtbl)
SAME_UNKNOWN_SLOTS(bio_IAgileObjectVtbl, IAgileObjectVtbl)
SAME_SIZE(bio_IAgileObjectVtbl, IAgileObjectVtbl)

SAME_INSPECTABLE_SLOTS(bio_IInspectableVtbl, IInspectableVtbl)
SAME_SIZE(bio_IInspectableVtbl, IInspectableVtbl)

SAME_INSPECTABLE_SLOTS(bio_IActivationFactoryVtbl, IActivationFactoryVtbl)
SAME_SLOT(bio_IActivationFactoryVtbl, IActivationFactoryVtbl, ActivateInstance)
SAME_SIZE(bio_IActivationFactoryVtbl, IActivationFactoryVtbl)

SAME_INSPECTABLE_SLOTS(bio_IAsyncInfoVtbl, IAsyncInfoVtbl)
SAME_SLOT(bio_IAsyncInfoVtbl, IAsyncInfoVtbl, get_Id)
SAME_SLOT(bio_IAsyncInfoVtbl, IAsyncInfoVtbl, get_Status)
SAME_SLOT(bio_IAsyncInfoVtbl, IAsyncInfoVtbl, get_ErrorCode)
SAME_SLOT(bio_IAsyncInfoVtbl, IAsyncInfoVtbl, Cancel)
SAME_SLOT(bio_IAsyncInfoVtbl, IAsyncInfoVtbl, Close)
SAME_SIZE(bio_IAsyncInfoVtbl, IAsyncInfoVtbl)

SAME_UNKNOWN_SLOTS(bio_IErrorInfoVtbl, IErrorInfoVtbl)
SAME_SLOT(bio_IErrorInfoVtbl, IErrorInfoVtbl, GetGUID)
SAME_SLOT(bio_IErrorInfoVtbl, IErrorInfoVtbl, GetSource)
SAME_SLOT(bio_IErrorInfoVtbl, IErrorInfoVtbl, GetDescription)
SAME_SLOT(bio_IErrorInfoVtbl, IErrorInfoVtbl, GetHelpFile)
SAME_SLOT(bio_IErrorInfoVtbl, IErrorInfoVtbl, GetHelpContext)
SAME_SIZE(bio_IErrorInfoVtbl, IErrorInfoVtbl)

#define THEIR_BUFFER __x_ABI_CWindows_CStorage_CStreams_CIBufferVtbl
SAME_INSPECTABLE_SLOTS(IBufferVtbl, THEIR_BUFFER)
SAME_SLOT(IBufferVtbl, THEIR_BUFFER, get_Capacity)
SAME_SLOT(IBufferVtbl, THEIR_BUFFER, get_Length)
SAME_SLOT(IBufferVtbl, THEIR_BUFFER, put_Length)
SAME_SIZE(IBufferVtbl, THEIR_BUFFER)

#define THEIR_CRYPTO __x_ABI_CWindows_CSecurity_CCryptography_CICryptographicBufferStaticsVtbl
SAME_INSPECTABLE_SLOTS(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, Compare)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, GenerateRandom)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, GenerateRandomNumber)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, CreateFromByteArray)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, CopyToByteArray)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, DecodeFromHexString)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, EncodeToHexString)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, DecodeFromBase64String)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, EncodeToBase64String)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, ConvertStringToBinary)
SAME_SLOT(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO, ConvertBinaryToString)
SAME_SIZE(ICryptographicBufferStaticsVtbl, THEIR_CRYPTO)

/* mingw-w64 instantiates IAsyncOperation<T> and its handler only for boolean; the
 * layout is the same for every T. (Its boolean GetResults takes boolean**, where the
 * platform's takes boolean*: only the slot is compared.) */
#define THEIR_OPERATION __FIAsyncOperation_1_booleanVtbl
#define THEIR_HANDLER __FIAsyncOperationCompletedHandler_1_booleanVtbl
#define SAME_ASYNC_LAYOUT(Result)                                                                  \
    SAME_INSPECTABLE_SLOTS(IAsyncOperation_##Result##Vtbl, THEIR_OPERATION)                       \
    SAME_SLOT(IAsyncOperation_##Result##Vtbl, THEIR_OPERATION, put_Completed)                     \
    SAME_SLOT(IAsyncOperation_##Result##Vtbl, THEIR_OPERATION, get_Completed)                     \
    SAME_SLOT(IAsyncOperation_##Result##Vtbl, THEIR_OPERATION, GetResults)                        \
    SAME_SIZE(IAsyncOperation_##Result##Vtbl, THEIR_OPERATION)                                    \
    SAME_UNKNOWN_SLOTS(AsyncOperationCompletedHandler_##Result##Vtbl, THEIR_HANDLER)              \
    SAME_SLOT(AsyncOperationCompletedHandler_##Result##Vtbl, THEIR_HANDLER, Invoke)               \
    SAME_SIZE(AsyncOperationCompletedHandler_##Result##Vtbl, THEIR_HANDLER)
SAME_ASYNC_LAYOUT(KeyCredentialRetrievalResult)
SAME_ASYNC_LAYOUT(KeyCredentialOperationResult)
SAME_ASYNC_LAYOUT(boolean)
SAME_ASYNC_LAYOUT(UserConsentVerifierAvailability)
SAME_ASYNC_LAYOUT(UserConsentVerificationResult)
SAME_ASYNC_LAYOUT(KeyCredentialAttestationResult)

/* mingw-w64 10 has nothing of Windows.Security.Credentials(.UI) or Windows.UI: the
 * published slot numbers (IUnknown 0-2 and IInspectable 3-5 counted) stand in. */
#define AT_SLOT(vtbl, method, slot) \
    _Static_assert(offsetof(vtbl, method) == (slot) * sizeof(void*), #vtbl "::" #method " is not in slot " #slot);
AT_SLOT(IKeyCredentialVtbl, RequestSignAsync, 9)
AT_SLOT(IKeyCredentialVtbl, GetAttestationAsync, 10)
AT_SLOT(IKeyCredentialAttestationResultVtbl, get_CertificateChainBuffer, 6)
AT_SLOT(IKeyCredentialAttestationResultVtbl, get_AttestationBuffer, 7)
AT_SLOT(IKeyCredentialAttestationResultVtbl, get_Status, 8)
AT_SLOT(IKeyCredentialManagerCreateWithWindowStaticsVtbl, RequestCreateForWindowAsync, 6)
AT_SLOT(IKeyCredentialWithWindowVtbl, RequestSignForWindowAsync, 6)
AT_SLOT(IUserConsentVerifierStaticsVtbl, CheckAvailabilityAsync, 6)
AT_SLOT(IUserConsentVerifierStaticsVtbl, RequestVerificationAsync, 7)
AT_SLOT(IUserConsentVerifierInteropVtbl, RequestVerificationForWindowAsync, 6)
_Static_assert(sizeof(WindowId) == 8, "WindowId is one UINT64, passed by value");
/* The one instantiation both sides declare: the derived identifiers must agree too. */
SAME_IID(IAsyncOperation_boolean, IID___FIAsyncOperation_1_boolean)
SAME_IID(AsyncOperationCompletedHandler_boolean, IID___FIAsyncOperationCompletedHandler_1_boolean)

/* mingw-w64 10 only forward-declares IAsyncAction and lacks its handler; releases that
 * declare them are checked as well. */
#ifdef ____x_ABI_CWindows_CFoundation_CIAsyncAction_INTERFACE_DEFINED__
#define THEIR_ACTION __x_ABI_CWindows_CFoundation_CIAsyncActionVtbl
SAME_IID(IAsyncAction, IID___x_ABI_CWindows_CFoundation_CIAsyncAction)
SAME_INSPECTABLE_SLOTS(IAsyncActionVtbl, THEIR_ACTION)
SAME_SLOT(IAsyncActionVtbl, THEIR_ACTION, put_Completed)
SAME_SLOT(IAsyncActionVtbl, THEIR_ACTION, get_Completed)
SAME_SLOT(IAsyncActionVtbl, THEIR_ACTION, GetResults)
SAME_SIZE(IAsyncActionVtbl, THEIR_ACTION)
#endif
#ifdef ____x_ABI_CWindows_CFoundation_CIAsyncActionCompletedHandler_INTERFACE_DEFINED__
#define THEIR_ACTION_HANDLER __x_ABI_CWindows_CFoundation_CIAsyncActionCompletedHandlerVtbl
SAME_IID(AsyncActionCompletedHandler, IID___x_ABI_CWindows_CFoundation_CIAsyncActionCompletedHandler)
SAME_UNKNOWN_SLOTS(AsyncActionCompletedHandlerVtbl, THEIR_ACTION_HANDLER)
SAME_SLOT(AsyncActionCompletedHandlerVtbl, THEIR_ACTION_HANDLER, Invoke)
SAME_SIZE(AsyncActionCompletedHandlerVtbl, THEIR_ACTION_HANDLER)
#endif

/* A translation unit must declare something. */
extern const int bio_abi_checked;
const int bio_abi_checked = 1;
