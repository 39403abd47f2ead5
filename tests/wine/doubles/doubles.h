// Test doubles of the two runtime classes, in a DLL of their own that the platform loads
// like the real class libraries: by registration, or found by name beside the program.
// Every copy of the DLL has its own Control, reached through the export
// "bio_doubles_control".
#pragma once

#include <windows.h>

namespace bio::doubles {

enum Method : int {
    // the library and its factories
    GetActivationFactory,  // DllGetActivationFactory
    StaticsQuery,          // QueryInterface of a factory for its statics interface
    AgileQuery,            // QueryInterface of a factory for IAgileObject
    // KeyCredentialManager statics
    RequestCreateAsync,
    OpenAsync,
    DeleteAsync,
    IsSupportedAsync,
    // CryptographicBuffer statics
    CreateFromByteArray,
    CopyToByteArray,
    EncodeToBase64String,
    // results, credential, buffer
    RetrievalStatus,
    Credential,
    OperationStatus,
    Result,
    RetrievePublicKey,
    RetrievePublicKeyWithBlobType,
    RequestSignAsync,
    Length,
    // asynchronous operations
    AsyncInfoQuery,  // QueryInterface for IAsyncInfo
    GetStatus,
    PutCompleted,
    GetResults,
    // the application calls
    CreateWithWindowQuery,  // QueryInterface of the manager's statics for the window-taking statics
    InteropQuery,  // QueryInterface of UserConsentVerifier's factory for IUserConsentVerifierInterop
    RequestCreateForWindowAsync,
    SignWithWindowQuery,  // QueryInterface of a credential for IKeyCredentialWithWindow
    RequestSignForWindowAsync,
    CheckAvailabilityAsync,
    RequestVerificationAsync,
    RequestVerificationForWindowAsync,
    GetAttestationAsync,
    AttestationStatus,
    CertificateChainBuffer,
    AttestationBuffer,
    Cancel,  // IAsyncInfo::Cancel
    MethodCount
};

// The windowing double (windowing.cpp, installed by the harness as the API set that
// exports GetWindowIdFromWindow): an id other than the handle, so that a test sees that
// the conversion was made; kUnusableWindow fails, as a window the system cannot convert.
constexpr UINT64 kUnusableWindow = 0xBAD;
constexpr UINT64 window_id_of(UINT64 window) { return window + 0x100000000ull; }

// What one method does. By default it succeeds with an object.
struct Script {
    HRESULT hr = S_OK;     // returned on the failing call(s)
    int fail_call = -1;    // which call (0-based) returns hr; -1: every call
    bool null_out = false;  // succeed without an object
    bool object_on_failure = false;  // hand out the object even when failing, as a misbehaving platform might
    INT32 value[2] = {0, 0};  // statuses: first call, later calls
};

// When an asynchronous operation completes.
enum class Completion : int {
    Before,    // already completed when first asked
    Inside,    // inside put_Completed, on the caller's thread
    Later,     // on another thread, some time after put_Completed returned
    Never,     // only when cancelled: then in cancelled_status, on another thread after the delay
};

struct Control {
    Script scripts[MethodCount];
    Completion completion = Completion::Before;
    INT32 final_status = 1;     // AsyncStatus once completed: Completed 1, Canceled 2, Error 3
    // The AsyncStatus a running operation ends in when cancelled: Canceled, or Completed
    // or Error where the platform finished first. Its handler is still told when the
    // operation would have completed (Later), or after the delay (Never).
    INT32 cancelled_status = 2;
    HRESULT error_code = E_FAIL;  // the ErrorCode of an operation that ended in Error
    bool keep_failed_handler = false;  // put_Completed fails but holds the handler, released later

    BYTE public_key[16] = {4, 1, 2, 3};
    UINT32 public_key_length = 4;
    BYTE signature[16] = {0, 1, 127, 128, 255};
    UINT32 signature_length = 5;
    wchar_t base64[32] = L"BAECAw==";
    BYTE supported = 1;  // what IsSupportedAsync's operation yields
    DWORD later_ms = 50;  // the delay of a completion on another thread
    INT32 availability = 0;  // what CheckAvailabilityAsync's operation yields
    INT32 verification = 0;  // what the verification operations yield
    BYTE certificate_chain[16] = {0x30, 0x82, 0x01};
    UINT32 certificate_chain_length = 3;
    BYTE attestation[16] = {'T', 'P', 'M', 0};
    UINT32 attestation_length = 4;
    // Real RSA-2048 keys made with CNG in place of public_key and signature: a create
    // makes a name a new key, an open finds it (or makes one), a delete drops it; the
    // public key is DER SubjectPublicKeyInfo, a signature RSASSA-PKCS1-v1_5 over SHA-256.
    bool real_keys = false;

    // Observations
    volatile LONG calls[MethodCount] = {};
    volatile LONG live_objects = 0;   // everything but factories
    volatile LONG live_factories = 0;
    volatile LONG pending_threads = 0;  // completions still to run on other threads
    wchar_t last_name[64] = {};         // the name (or message) received, read through combase
    UINT32 last_name_length = 0;
    INT32 last_option = -1;
    INT32 last_blob_type = -1;
    BYTE last_data[64] = {};
    UINT32 last_data_length = 0;
    UINT64 last_window = 0;  // the WindowId.Value, or the HWND, a window-taking call received

    void reset_scripts() {
        for (Script& s : scripts) s = Script{};
    }
};

using ControlFn = Control*(__cdecl*)();

}  // namespace bio::doubles
