// The few platform functions whose behaviour the tests must be able to choose: Wine never
// answers RoGetActivationFactory with CO_E_NOTINITIALIZED, so the apartment retry can
// only be exercised through a replacement.
#pragma once

#include "winrt/abi.h"

namespace bio::winrt {

struct EntryPoints {
    HRESULT(WINAPI* RoGetActivationFactory)(HSTRING class_name, REFIID iid, void** factory);
    HRESULT(WINAPI* CoIncrementMTAUsage)(CO_MTA_USAGE_COOKIE* cookie);
};

// The process-wide table, holding the system's functions until a test replaces them.
EntryPoints& entry_points() noexcept;

}  // namespace bio::winrt
