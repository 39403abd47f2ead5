/* The platform interfaces this client calls or implements, declared by hand with their
 * published identifiers and method order: the Windows SDK's projection headers need
 * MSVC and mingw-w64 lacks windows.security.credentials.h.
 *
 * Each interface is a struct whose first member points to its method table, as the
 * platform lays them out. In C++ (MSVC and mingw) the names live in bio::abi and the
 * header stands on its own. In C they are global, and some of them are also declared by
 * <windows.h> (IUnknown, IUnknownVtbl, IInspectable, ... and the IID_ constants): C code
 * renames those types with macros and defines BIO_ABI_IID before including this header,
 * as abi_check.c does.
 * abi_check.c compares identifiers and slot offsets with mingw-w64's own declarations
 * wherever it has them, so a misplaced method fails the build.
 *
 * Enumerations are passed as INT32 (their published underlying type). */
#ifndef BIOMETRIC_WINRT_ABI_H
#define BIOMETRIC_WINRT_ABI_H

#include <windows.h>
#include <hstring.h>

#ifndef BIO_ABI_IID
#ifdef __cplusplus
#define BIO_ABI_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID IID_##name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#else
#define BIO_ABI_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID IID_##name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#endif
#endif

/* In C++ a plain forward declaration, so the name is ours and not the SDK's global one. */
#ifdef __cplusplus
#define BIO_ABI_DECLARE(name) struct name;
#else
#define BIO_ABI_DECLARE(name) typedef struct name name;
#endif

#define BIO_ABI_METHOD(name) HRESULT(STDMETHODCALLTYPE* name)
#define BIO_ABI_UNKNOWN_METHODS(Self)                                          \
    BIO_ABI_METHOD(QueryInterface)(Self * self, const IID* iid, void** object);    \
    ULONG(STDMETHODCALLTYPE* AddRef)(Self * self);                             \
    ULONG(STDMETHODCALLTYPE* Release)(Self * self);
#define BIO_ABI_INSPECTABLE_METHODS(Self)                                      \
    BIO_ABI_UNKNOWN_METHODS(Self)                                              \
    BIO_ABI_METHOD(GetIids)(Self * self, ULONG * count, IID * *iids);          \
    BIO_ABI_METHOD(GetRuntimeClassName)(Self * self, HSTRING * name);          \
    BIO_ABI_METHOD(GetTrustLevel)(Self * self, INT32 * level);

#ifdef __cplusplus
namespace bio::abi {
#endif

/* Identifiers. The IAsyncOperation and AsyncOperationCompletedHandler identifiers are
 * those of the parameterised interfaces instantiated with the credential result classes,
 * the two user-consent enumerations and boolean: the platform derives them from the type's signature, and
 * tools/winrt_iid.py derives them again. IAsyncAction and its handler are not
 * parameterised and have published identifiers of their own. */
BIO_ABI_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
BIO_ABI_IID(IInspectable, 0xAF86E2E0, 0xB12D, 0x4C6A, 0x9C, 0x5A, 0xD7, 0xAA, 0x65, 0x10, 0x1E, 0x90)
BIO_ABI_IID(IAgileObject, 0x94EA2B94, 0xE9CC, 0x49E0, 0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90)
BIO_ABI_IID(IActivationFactory, 0x00000035, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
BIO_ABI_IID(IAsyncInfo, 0x00000036, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
BIO_ABI_IID(IErrorInfo, 0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19)
BIO_ABI_IID(IRestrictedErrorInfo, 0x82BA7092, 0x4C88, 0x427D, 0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E)
BIO_ABI_IID(IBuffer, 0x905A0FE0, 0xBC53, 0x11DF, 0x8C, 0x49, 0x00, 0x1E, 0x4F, 0xC6, 0x86, 0xDA)
BIO_ABI_IID(ICryptographicBufferStatics, 0x320B7E22, 0x3CB0, 0x4CDF, 0x86, 0x63, 0x1D, 0x28, 0x91, 0x00, 0x65, 0xEB)
BIO_ABI_IID(IKeyCredentialManagerStatics, 0x6AAC468B, 0x0EF1, 0x4CE0, 0x82, 0x90, 0x41, 0x06, 0xDA, 0x6A, 0x63, 0xB5)
BIO_ABI_IID(IKeyCredentialRetrievalResult, 0x58CD7703, 0x8D87, 0x4249, 0x9B, 0x58, 0xF6, 0x59, 0x8C, 0xC9, 0x64, 0x4E)
BIO_ABI_IID(IKeyCredential, 0x9585EF8D, 0x457B, 0x4847, 0xB1, 0x1A, 0xFA, 0x96, 0x0B, 0xBD, 0xB1, 0x38)
BIO_ABI_IID(IKeyCredentialOperationResult, 0xF53786C1, 0x5261, 0x4CDD, 0x97, 0x6D, 0xCC, 0x90, 0x9A, 0xC7, 0x16, 0x20)
BIO_ABI_IID(IAsyncOperation_KeyCredentialRetrievalResult, 0x89D0AD1E, 0xBD4C, 0x55B4, 0x81, 0x0E, 0xBD, 0xDD, 0x4C, 0xEC, 0x7A, 0x2A)
BIO_ABI_IID(IAsyncOperation_KeyCredentialOperationResult, 0x6576E5B3, 0x9535, 0x50D6, 0x98, 0xF6, 0xC6, 0x7D, 0x6A, 0xAC, 0xA2, 0xC5)
BIO_ABI_IID(AsyncOperationCompletedHandler_KeyCredentialRetrievalResult, 0x03EA60B1, 0xA874, 0x58CE, 0x8E, 0x8E, 0xFF, 0xF4, 0x48, 0xB6, 0x73, 0x3E)
BIO_ABI_IID(AsyncOperationCompletedHandler_KeyCredentialOperationResult, 0x39B4609A, 0x0202, 0x55FA, 0x80, 0x05, 0x6F, 0x83, 0x70, 0x9E, 0x20, 0xF3)
BIO_ABI_IID(IAsyncOperation_boolean, 0xCDB5EFB3, 0x5788, 0x509D, 0x9B, 0xE1, 0x71, 0xCC, 0xB8, 0xA3, 0x36, 0x2A)
BIO_ABI_IID(AsyncOperationCompletedHandler_boolean, 0xC1D3D1A2, 0xAE17, 0x5A5F, 0xB5, 0xA2, 0xBD, 0xCC, 0x88, 0x44, 0x88, 0x9A)
BIO_ABI_IID(IAsyncAction, 0x5A648006, 0x843A, 0x4DA9, 0x86, 0x5B, 0x9D, 0x26, 0xE5, 0xDF, 0xAD, 0x7B)
BIO_ABI_IID(AsyncActionCompletedHandler, 0xA4ED5C81, 0x76C9, 0x40BD, 0x8B, 0xE6, 0xB1, 0xD9, 0x0F, 0xB2, 0x0A, 0xE7)
/* The application calls: user consent, the window-taking calls and key attestation. The
 * window-taking interfaces are newer than the rest and may be absent (E_NOINTERFACE). */
BIO_ABI_IID(IUserConsentVerifierStatics, 0xAF4F3F91, 0x564C, 0x4DDC, 0xB8, 0xB5, 0x97, 0x34, 0x47, 0x62, 0x7C, 0x65)
BIO_ABI_IID(IUserConsentVerifierInterop, 0x39E050C3, 0x4E74, 0x441A, 0x8D, 0xC0, 0xB8, 0x11, 0x04, 0xDF, 0x94, 0x9C)
BIO_ABI_IID(IKeyCredentialManagerCreateWithWindowStatics, 0x30B1B9C9, 0x61EF, 0x43E8, 0x88, 0xAC, 0xCC, 0x43, 0x3B, 0x38, 0xD1, 0xA6)
BIO_ABI_IID(IKeyCredentialWithWindow, 0x050DEB3B, 0xB19C, 0x4635, 0x9D, 0xF6, 0x56, 0x50, 0xD6, 0x6C, 0x62, 0xB1)
BIO_ABI_IID(IKeyCredentialAttestationResult, 0x78AAB3A1, 0xA3C1, 0x4103, 0xB6, 0xCC, 0x47, 0x2C, 0x44, 0x17, 0x1C, 0xBB)
BIO_ABI_IID(IAsyncOperation_UserConsentVerifierAvailability, 0xDDD384F3, 0xD818, 0x5D83, 0xAB, 0x4B, 0x32, 0x11, 0x9C, 0x28, 0x58, 0x7C)
BIO_ABI_IID(AsyncOperationCompletedHandler_UserConsentVerifierAvailability, 0x28988174, 0xACE2, 0x5C15, 0xA0, 0xDF, 0x58, 0x0A, 0x26, 0xD9, 0x42, 0x94)
BIO_ABI_IID(IAsyncOperation_UserConsentVerificationResult, 0xFD596FFD, 0x2318, 0x558F, 0x9D, 0xBE, 0xD2, 0x1D, 0xF4, 0x37, 0x64, 0xA5)
BIO_ABI_IID(AsyncOperationCompletedHandler_UserConsentVerificationResult, 0x0CFFC6C9, 0x4C2B, 0x5CD4, 0xB3, 0x8C, 0x7B, 0x8D, 0xF3, 0xFF, 0x5A, 0xFB)
BIO_ABI_IID(IAsyncOperation_KeyCredentialAttestationResult, 0xB83D29E9, 0xF4E4, 0x5AA4, 0x92, 0xD5, 0xB2, 0x62, 0xCB, 0x40, 0xC6, 0x22)
BIO_ABI_IID(AsyncOperationCompletedHandler_KeyCredentialAttestationResult, 0x2C16E103, 0xF783, 0x5DD9, 0xA5, 0xF3, 0x33, 0x62, 0xBC, 0xBD, 0xAA, 0xBD)

BIO_ABI_DECLARE(IUnknown)
BIO_ABI_DECLARE(IInspectable)
BIO_ABI_DECLARE(IAgileObject)
BIO_ABI_DECLARE(IActivationFactory)
BIO_ABI_DECLARE(IAsyncInfo)
BIO_ABI_DECLARE(IErrorInfo)
BIO_ABI_DECLARE(IRestrictedErrorInfo)
BIO_ABI_DECLARE(IBuffer)
BIO_ABI_DECLARE(ICryptographicBufferStatics)
BIO_ABI_DECLARE(IKeyCredentialManagerStatics)
BIO_ABI_DECLARE(IKeyCredentialRetrievalResult)
BIO_ABI_DECLARE(IKeyCredential)
BIO_ABI_DECLARE(IKeyCredentialOperationResult)
BIO_ABI_DECLARE(IAsyncOperation_KeyCredentialRetrievalResult)
BIO_ABI_DECLARE(IAsyncOperation_KeyCredentialOperationResult)
BIO_ABI_DECLARE(AsyncOperationCompletedHandler_KeyCredentialRetrievalResult)
BIO_ABI_DECLARE(AsyncOperationCompletedHandler_KeyCredentialOperationResult)
BIO_ABI_DECLARE(IAsyncOperation_boolean)
BIO_ABI_DECLARE(AsyncOperationCompletedHandler_boolean)
BIO_ABI_DECLARE(IAsyncAction)
BIO_ABI_DECLARE(AsyncActionCompletedHandler)
BIO_ABI_DECLARE(IUserConsentVerifierStatics)
BIO_ABI_DECLARE(IUserConsentVerifierInterop)
BIO_ABI_DECLARE(IKeyCredentialManagerCreateWithWindowStatics)
BIO_ABI_DECLARE(IKeyCredentialWithWindow)
BIO_ABI_DECLARE(IKeyCredentialAttestationResult)
BIO_ABI_DECLARE(IAsyncOperation_UserConsentVerifierAvailability)
BIO_ABI_DECLARE(AsyncOperationCompletedHandler_UserConsentVerifierAvailability)
BIO_ABI_DECLARE(IAsyncOperation_UserConsentVerificationResult)
BIO_ABI_DECLARE(AsyncOperationCompletedHandler_UserConsentVerificationResult)
BIO_ABI_DECLARE(IAsyncOperation_KeyCredentialAttestationResult)
BIO_ABI_DECLARE(AsyncOperationCompletedHandler_KeyCredentialAttestationResult)

/* AsyncStatus */
enum { AsyncStatus_Started = 0, AsyncStatus_Completed = 1, AsyncStatus_Canceled = 2, AsyncStatus_Error = 3 };

typedef struct IUnknownVtbl {
    BIO_ABI_UNKNOWN_METHODS(IUnknown)
} IUnknownVtbl;
struct IUnknown {
    const IUnknownVtbl* lpVtbl;
};

typedef struct IInspectableVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IInspectable)
} IInspectableVtbl;
struct IInspectable {
    const IInspectableVtbl* lpVtbl;
};

typedef struct IAgileObjectVtbl {
    BIO_ABI_UNKNOWN_METHODS(IAgileObject)
} IAgileObjectVtbl;
struct IAgileObject {
    const IAgileObjectVtbl* lpVtbl;
};

typedef struct IActivationFactoryVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IActivationFactory)
    BIO_ABI_METHOD(ActivateInstance)(IActivationFactory* self, IInspectable** instance);
} IActivationFactoryVtbl;
struct IActivationFactory {
    const IActivationFactoryVtbl* lpVtbl;
};

typedef struct IAsyncInfoVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IAsyncInfo)
    BIO_ABI_METHOD(get_Id)(IAsyncInfo* self, UINT32* id);
    BIO_ABI_METHOD(get_Status)(IAsyncInfo* self, INT32* status);
    BIO_ABI_METHOD(get_ErrorCode)(IAsyncInfo* self, HRESULT* code);
    BIO_ABI_METHOD(Cancel)(IAsyncInfo* self);
    BIO_ABI_METHOD(Close)(IAsyncInfo* self);
} IAsyncInfoVtbl;
struct IAsyncInfo {
    const IAsyncInfoVtbl* lpVtbl;
};

typedef struct IErrorInfoVtbl {
    BIO_ABI_UNKNOWN_METHODS(IErrorInfo)
    BIO_ABI_METHOD(GetGUID)(IErrorInfo* self, GUID* guid);
    BIO_ABI_METHOD(GetSource)(IErrorInfo* self, BSTR* source);
    BIO_ABI_METHOD(GetDescription)(IErrorInfo* self, BSTR* description);
    BIO_ABI_METHOD(GetHelpFile)(IErrorInfo* self, BSTR* help_file);
    BIO_ABI_METHOD(GetHelpContext)(IErrorInfo* self, DWORD* help_context);
} IErrorInfoVtbl;
struct IErrorInfo {
    const IErrorInfoVtbl* lpVtbl;
};

typedef struct IRestrictedErrorInfoVtbl {
    BIO_ABI_UNKNOWN_METHODS(IRestrictedErrorInfo)
    BIO_ABI_METHOD(GetErrorDetails)(IRestrictedErrorInfo* self, BSTR* description, HRESULT* error,
                                    BSTR* restrictedDescription, BSTR* capabilitySid);
    BIO_ABI_METHOD(GetReference)(IRestrictedErrorInfo* self, BSTR* reference);
} IRestrictedErrorInfoVtbl;
struct IRestrictedErrorInfo {
    const IRestrictedErrorInfoVtbl* lpVtbl;
};

/* Windows.Storage.Streams.IBuffer */
typedef struct IBufferVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IBuffer)
    BIO_ABI_METHOD(get_Capacity)(IBuffer* self, UINT32* value);
    BIO_ABI_METHOD(get_Length)(IBuffer* self, UINT32* value);
    BIO_ABI_METHOD(put_Length)(IBuffer* self, UINT32 value);
} IBufferVtbl;
struct IBuffer {
    const IBufferVtbl* lpVtbl;
};

/* Windows.Security.Cryptography.ICryptographicBufferStatics; BinaryStringEncoding as INT32. */
typedef struct ICryptographicBufferStaticsVtbl {
    BIO_ABI_INSPECTABLE_METHODS(ICryptographicBufferStatics)
    BIO_ABI_METHOD(Compare)(ICryptographicBufferStatics* self, IBuffer* object1, IBuffer* object2, BYTE* isEqual);
    BIO_ABI_METHOD(GenerateRandom)(ICryptographicBufferStatics* self, UINT32 length, IBuffer** buffer);
    BIO_ABI_METHOD(GenerateRandomNumber)(ICryptographicBufferStatics* self, UINT32* value);
    BIO_ABI_METHOD(CreateFromByteArray)(ICryptographicBufferStatics* self, UINT32 valueSize, BYTE* value,
                                        IBuffer** buffer);
    BIO_ABI_METHOD(CopyToByteArray)(ICryptographicBufferStatics* self, IBuffer* buffer, UINT32* valueSize,
                                    BYTE** value);
    BIO_ABI_METHOD(DecodeFromHexString)(ICryptographicBufferStatics* self, HSTRING value, IBuffer** buffer);
    BIO_ABI_METHOD(EncodeToHexString)(ICryptographicBufferStatics* self, IBuffer* buffer, HSTRING* value);
    BIO_ABI_METHOD(DecodeFromBase64String)(ICryptographicBufferStatics* self, HSTRING value, IBuffer** buffer);
    BIO_ABI_METHOD(EncodeToBase64String)(ICryptographicBufferStatics* self, IBuffer* buffer, HSTRING* value);
    BIO_ABI_METHOD(ConvertStringToBinary)(ICryptographicBufferStatics* self, HSTRING value, INT32 encoding,
                                          IBuffer** buffer);
    BIO_ABI_METHOD(ConvertBinaryToString)(ICryptographicBufferStatics* self, INT32 encoding, IBuffer* buffer,
                                          HSTRING* value);
} ICryptographicBufferStaticsVtbl;
struct ICryptographicBufferStatics {
    const ICryptographicBufferStaticsVtbl* lpVtbl;
};

/* Windows.Foundation.IAsyncOperation<T> and AsyncOperationCompletedHandler<T>, for the
 * result classes, the user-consent enumerations and boolean (passed as BYTE). Each handler Invoke receives the
 * operation and an AsyncStatus. */
#define BIO_ABI_ASYNC_OPERATION(Result, ResultOut)                                                   \
    typedef struct IAsyncOperation_##Result##Vtbl {                                                  \
        BIO_ABI_INSPECTABLE_METHODS(IAsyncOperation_##Result)                                        \
        BIO_ABI_METHOD(put_Completed)(IAsyncOperation_##Result * self,                               \
                                      AsyncOperationCompletedHandler_##Result * handler);            \
        BIO_ABI_METHOD(get_Completed)(IAsyncOperation_##Result * self,                               \
                                      AsyncOperationCompletedHandler_##Result * *handler);           \
        BIO_ABI_METHOD(GetResults)(IAsyncOperation_##Result * self, ResultOut results);              \
    } IAsyncOperation_##Result##Vtbl;                                                                \
    struct IAsyncOperation_##Result {                                                                \
        const IAsyncOperation_##Result##Vtbl* lpVtbl;                                                \
    };                                                                                               \
    typedef struct AsyncOperationCompletedHandler_##Result##Vtbl {                                   \
        BIO_ABI_UNKNOWN_METHODS(AsyncOperationCompletedHandler_##Result)                             \
        BIO_ABI_METHOD(Invoke)(AsyncOperationCompletedHandler_##Result * self,                       \
                               IAsyncOperation_##Result * asyncInfo, INT32 status);                  \
    } AsyncOperationCompletedHandler_##Result##Vtbl;                                                 \
    struct AsyncOperationCompletedHandler_##Result {                                                 \
        const AsyncOperationCompletedHandler_##Result##Vtbl* lpVtbl;                                 \
    };

BIO_ABI_ASYNC_OPERATION(KeyCredentialRetrievalResult, IKeyCredentialRetrievalResult**)
BIO_ABI_ASYNC_OPERATION(KeyCredentialOperationResult, IKeyCredentialOperationResult**)
BIO_ABI_ASYNC_OPERATION(boolean, BYTE*)
/* UserConsentVerifierAvailability and UserConsentVerificationResult as INT32. */
BIO_ABI_ASYNC_OPERATION(UserConsentVerifierAvailability, INT32*)
BIO_ABI_ASYNC_OPERATION(UserConsentVerificationResult, INT32*)
BIO_ABI_ASYNC_OPERATION(KeyCredentialAttestationResult, IKeyCredentialAttestationResult**)

/* Windows.Foundation.IAsyncAction and AsyncActionCompletedHandler: an operation without a
 * result, whose GetResults only reports how it ended. */
typedef struct IAsyncActionVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IAsyncAction)
    BIO_ABI_METHOD(put_Completed)(IAsyncAction* self, AsyncActionCompletedHandler* handler);
    BIO_ABI_METHOD(get_Completed)(IAsyncAction* self, AsyncActionCompletedHandler** handler);
    BIO_ABI_METHOD(GetResults)(IAsyncAction* self);
} IAsyncActionVtbl;
struct IAsyncAction {
    const IAsyncActionVtbl* lpVtbl;
};
typedef struct AsyncActionCompletedHandlerVtbl {
    BIO_ABI_UNKNOWN_METHODS(AsyncActionCompletedHandler)
    BIO_ABI_METHOD(Invoke)(AsyncActionCompletedHandler* self, IAsyncAction* asyncInfo, INT32 status);
} AsyncActionCompletedHandlerVtbl;
struct AsyncActionCompletedHandler {
    const AsyncActionCompletedHandlerVtbl* lpVtbl;
};

/* Windows.Security.Credentials. RenewAttestationAsync yields an interface this client
 * never calls, declared as IInspectable. KeyCredentialCreationOption,
 * CryptographicPublicKeyBlobType and KeyCredentialAttestationStatus as INT32. */
typedef struct IKeyCredentialManagerStaticsVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IKeyCredentialManagerStatics)
    BIO_ABI_METHOD(IsSupportedAsync)(IKeyCredentialManagerStatics* self, IAsyncOperation_boolean** value);
    BIO_ABI_METHOD(RenewAttestationAsync)(IKeyCredentialManagerStatics* self, IInspectable** operation);
    BIO_ABI_METHOD(RequestCreateAsync)(IKeyCredentialManagerStatics* self, HSTRING name, INT32 option,
                                       IAsyncOperation_KeyCredentialRetrievalResult** value);
    BIO_ABI_METHOD(OpenAsync)(IKeyCredentialManagerStatics* self, HSTRING name,
                              IAsyncOperation_KeyCredentialRetrievalResult** value);
    BIO_ABI_METHOD(DeleteAsync)(IKeyCredentialManagerStatics* self, HSTRING name, IAsyncAction** operation);
} IKeyCredentialManagerStaticsVtbl;
struct IKeyCredentialManagerStatics {
    const IKeyCredentialManagerStaticsVtbl* lpVtbl;
};

typedef struct IKeyCredentialRetrievalResultVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IKeyCredentialRetrievalResult)
    BIO_ABI_METHOD(get_Credential)(IKeyCredentialRetrievalResult* self, IKeyCredential** value);
    BIO_ABI_METHOD(get_Status)(IKeyCredentialRetrievalResult* self, INT32* value);
} IKeyCredentialRetrievalResultVtbl;
struct IKeyCredentialRetrievalResult {
    const IKeyCredentialRetrievalResultVtbl* lpVtbl;
};

typedef struct IKeyCredentialVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IKeyCredential)
    BIO_ABI_METHOD(get_Name)(IKeyCredential* self, HSTRING* value);
    BIO_ABI_METHOD(RetrievePublicKeyWithDefaultBlobType)(IKeyCredential* self, IBuffer** value);
    BIO_ABI_METHOD(RetrievePublicKeyWithBlobType)(IKeyCredential* self, INT32 blobType, IBuffer** value);
    BIO_ABI_METHOD(RequestSignAsync)(IKeyCredential* self, IBuffer* data,
                                     IAsyncOperation_KeyCredentialOperationResult** value);
    BIO_ABI_METHOD(GetAttestationAsync)(IKeyCredential* self, IAsyncOperation_KeyCredentialAttestationResult** value);
} IKeyCredentialVtbl;
struct IKeyCredential {
    const IKeyCredentialVtbl* lpVtbl;
};

typedef struct IKeyCredentialAttestationResultVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IKeyCredentialAttestationResult)
    BIO_ABI_METHOD(get_CertificateChainBuffer)(IKeyCredentialAttestationResult* self, IBuffer** value);
    BIO_ABI_METHOD(get_AttestationBuffer)(IKeyCredentialAttestationResult* self, IBuffer** value);
    BIO_ABI_METHOD(get_Status)(IKeyCredentialAttestationResult* self, INT32* value);
} IKeyCredentialAttestationResultVtbl;
struct IKeyCredentialAttestationResult {
    const IKeyCredentialAttestationResultVtbl* lpVtbl;
};

/* Windows.UI.WindowId, passed by value: what GetWindowIdFromWindow makes of an HWND. */
typedef struct WindowId {
    UINT64 Value;
} WindowId;

/* The owner-window variants: statics of KeyCredentialManager, and an interface of
 * KeyCredential. */
typedef struct IKeyCredentialManagerCreateWithWindowStaticsVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IKeyCredentialManagerCreateWithWindowStatics)
    BIO_ABI_METHOD(RequestCreateForWindowAsync)(IKeyCredentialManagerCreateWithWindowStatics* self, WindowId window,
                                                HSTRING name, INT32 option,
                                                IAsyncOperation_KeyCredentialRetrievalResult** value);
} IKeyCredentialManagerCreateWithWindowStaticsVtbl;
struct IKeyCredentialManagerCreateWithWindowStatics {
    const IKeyCredentialManagerCreateWithWindowStaticsVtbl* lpVtbl;
};

typedef struct IKeyCredentialWithWindowVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IKeyCredentialWithWindow)
    BIO_ABI_METHOD(RequestSignForWindowAsync)(IKeyCredentialWithWindow* self, WindowId window, IBuffer* data,
                                              IAsyncOperation_KeyCredentialOperationResult** value);
} IKeyCredentialWithWindowVtbl;
struct IKeyCredentialWithWindow {
    const IKeyCredentialWithWindowVtbl* lpVtbl;
};

/* Windows.Security.Credentials.UI.UserConsentVerifier: its statics, and the interop
 * interface its factory also answers, for desktop programs (which have no CoreWindow). */
typedef struct IUserConsentVerifierStaticsVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IUserConsentVerifierStatics)
    BIO_ABI_METHOD(CheckAvailabilityAsync)(IUserConsentVerifierStatics* self,
                                           IAsyncOperation_UserConsentVerifierAvailability** result);
    BIO_ABI_METHOD(RequestVerificationAsync)(IUserConsentVerifierStatics* self, HSTRING message,
                                             IAsyncOperation_UserConsentVerificationResult** result);
} IUserConsentVerifierStaticsVtbl;
struct IUserConsentVerifierStatics {
    const IUserConsentVerifierStaticsVtbl* lpVtbl;
};

typedef struct IUserConsentVerifierInteropVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IUserConsentVerifierInterop)
    BIO_ABI_METHOD(RequestVerificationForWindowAsync)(IUserConsentVerifierInterop* self, HWND appWindow,
                                                      HSTRING message, const IID* riid, void** asyncOperation);
} IUserConsentVerifierInteropVtbl;
struct IUserConsentVerifierInterop {
    const IUserConsentVerifierInteropVtbl* lpVtbl;
};

typedef struct IKeyCredentialOperationResultVtbl {
    BIO_ABI_INSPECTABLE_METHODS(IKeyCredentialOperationResult)
    BIO_ABI_METHOD(get_Result)(IKeyCredentialOperationResult* self, IBuffer** value);
    BIO_ABI_METHOD(get_Status)(IKeyCredentialOperationResult* self, INT32* value);
} IKeyCredentialOperationResultVtbl;
struct IKeyCredentialOperationResult {
    const IKeyCredentialOperationResultVtbl* lpVtbl;
};

/* The export of a runtime class's library. */
typedef HRESULT(STDAPICALLTYPE* DllGetActivationFactoryFn)(HSTRING activatableClassId, IActivationFactory** factory);
/* windows.ui.interop.h's conversion, resolved at run time. */
typedef HRESULT(STDAPICALLTYPE* GetWindowIdFromWindowFn)(HWND window, WindowId* id);

#ifdef __cplusplus
}  // namespace bio::abi
#endif

#endif /* BIOMETRIC_WINRT_ABI_H */
