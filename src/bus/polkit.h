// polkit and the system bus as the TPM platform and biometric-keyd report them: the codes
// of a verification that could not be made (biometric-keyd asks polkit, its client passes
// the codes on) and where the system bus is.
#pragma once

#include <cstdint>

#include "bio_windows.h"
#include "platform_error.h"

namespace bio::bus {

// The codes of a verification that could not be made.
// libsystemd.so.0 (or one of its sd-bus functions) is missing: ERROR_MOD_NOT_FOUND.
inline constexpr std::int32_t kPolkitNoLibraryCode = hresult_from_win32(126);
// No system bus, or no polkit on it: ERROR_SERVICE_NOT_ACTIVE.
inline constexpr std::int32_t kPolkitNoServiceCode = hresult_from_win32(1062);
// polkit does not know the action (its policy file is not installed): ERROR_NOT_FOUND.
inline constexpr std::int32_t kPolkitNoActionCode = hresult_from_win32(1168);
// Any other failure of the bus or of polkit, with its D-Bus error: E_FAIL.
inline constexpr std::int32_t kPolkitFailedCode = static_cast<std::int32_t>(0x80004005u);

// Where the system bus is: the variable, else the standard socket.
inline constexpr const char* kSystemBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";
inline constexpr const char* kSystemBusDefault = "unix:path=/run/dbus/system_bus_socket";

}  // namespace bio::bus
