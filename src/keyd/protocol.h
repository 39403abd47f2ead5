// What biometric-keyd and its clients say to each other on the system bus. The service
// holds every user's keys in the TPM and asks polkit about its caller before each use;
// the TPM platform (src/tpm/) is its client. Nothing here is trusted by the service: who
// asks comes from the bus (the caller's uid and unique name), never from a message, and
// every argument is checked again on arrival.
//
// Every reply starts with (i code, s text): code 0 when the request ran, its outcome
// then in the rest; otherwise the HRESULT of a request that could not run (the TPM, polkit
// or the store failed, an argument was refused) and what went wrong in words, the rest of
// the reply then zero or empty. D-Bus errors are left to the bus itself (no such method,
// access denied, the service gone).
//
//   Availability()                    -> (i code, s text, i availability, s reason)
//       availability: a UserConsent value (bio_windows.h), reason in words for a person.
//   Create(t request, s name, b replace)
//                                     -> (i code, s text, i status, ay public_key)
//       Asks polkit first. status: a KeyCredentialStatus; Success with the new key's DER
//       SubjectPublicKeyInfo, CredentialAlreadyExists when the name is taken and replace
//       is false (asked before the user is), UserCanceled when the user was not verified
//       or the request was cancelled (nothing made, nothing replaced). Where polkit
//       found no agent to ask the user through, the code is kNoAgent instead (for Sign
//       and VerifyUser too): the caller may start one and ask again.
//   Open(s name)                      -> (i code, s text, i status, ay public_key)
//       No verification. Success with the key, or NotFound.
//   Sign(t request, s name, ay digest) -> (i code, s text, i status, ay signature)
//       Asks polkit first, then signs the SHA-256 digest (32 bytes, made by the caller:
//       the data itself may be larger than the bus carries) with the key the name has
//       after the user was verified: RSASSA-PKCS1-v1_5, 256 bytes. NotFound, UserCanceled.
//   Delete(s name)                    -> (i code, s text, i status)
//       No verification (as on Windows). Success or NotFound.
//   VerifyUser(t request, s message)  -> (i code, s text, i result)
//       Asks polkit with the caller's message; result a UserConsent verification value
//       (Available = verified, Canceled, ...).
//   Attestation(s name)               -> (i code, s text, i status, ay chain, ay attestation)
//       status: a KeyCredentialAttestationStatus; NotSupported where the TPM gives none.
//   Cancel(t request)                 -> ()
//       Cancels the caller's pending request with that number: its polkit check is
//       cancelled (CancelCheckAuthorization) and it commits nothing; it then replies
//       UserCanceled (Canceled for VerifyUser) — unless it had already committed, in which
//       case it replies its result. An unknown number is no error. A caller that leaves
//       the bus cancels all its pending requests alike.
//
// `request` is the caller's own number for a request, unique among its pending ones; it
// only names the request for Cancel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform_error.h"

namespace bio::keyd {

inline constexpr const char* kBusName = "org.biometric.KeyCredentials1";
inline constexpr const char* kObjectPath = "/org/biometric/KeyCredentials1";
inline constexpr const char* kInterface = "org.biometric.KeyCredentials1";

// The polkit action every create, sign and verification asks for.
inline constexpr const char* kVerifyAction = "org.biometric.verify";
// The details polkit is given with it (a rule or an agent may show them).
inline constexpr const char* kDetailOperation = "org.biometric.operation";  // "create", "sign", "verify"
inline constexpr const char* kDetailName = "org.biometric.credential";
inline constexpr const char* kDetailMessage = "polkit.message";

// Where the service keeps its state: one 0700 directory per uid below it.
inline constexpr const char* kStateDirectory = "/var/lib/biometric";
// The service's configuration (written by install-service): "tcti=<TCTI>" lines.
inline constexpr const char* kConfigFile = "/etc/biometric/keyd.conf";

// Limits the service enforces on every caller.
inline constexpr std::size_t kMaxCredentialsPerUser = 1024;
inline constexpr std::size_t kDigestBytes = 32;                      // one Sign's SHA-256 digest
inline constexpr std::size_t kMaxMessageBytes = 4096;              // VerifyUser's message, UTF-8
inline constexpr std::size_t kMaxPendingPerUser = 64;              // Create, Sign, VerifyUser waiting at once

// Codes of the replies, beside the TPM's (tpm_keys.h) and polkit's (polkit.h).
// An argument the service refuses (a bad name, a digest of another size, a message too long): E_INVALIDARG.
inline constexpr std::int32_t kBadArgument = static_cast<std::int32_t>(0x80070057u);
// The caller already has kMaxCredentialsPerUser credentials: ERROR_NOT_ENOUGH_QUOTA.
inline constexpr std::int32_t kTooManyCredentials = hresult_from_win32(1816);
// The caller's user has kMaxPendingPerUser requests waiting already (polkit or the TPM):
// ERROR_TOO_MANY_CMDS. Nothing was done; try again when one has replied.
inline constexpr std::int32_t kTooManyRequests = hresult_from_win32(56);
// The TPM is in dictionary-attack lockout (TPM_RC_LOCKOUT): requests end with
// SecurityDeviceLocked and availability is DeviceBusy until it lifts.
inline constexpr std::int32_t kTpmLockout = static_cast<std::int32_t>(0x80280921u);
// polkit would ask the user but no authentication agent serves the caller: nothing was
// done, nobody was asked (ERROR_NO_SUCH_LOGON_SESSION). A user who dismissed an agent's
// prompt, or a rule saying no, is UserCanceled instead.
inline constexpr std::int32_t kNoAgent = hresult_from_win32(1312);
// Client side: the service is not installed or does not answer: ERROR_SERVICE_NOT_ACTIVE.
inline constexpr std::int32_t kServiceNotReachable = hresult_from_win32(1062);

}  // namespace bio::keyd
