// The platform of a build without the TPM platform: the stand-in.
#include "standin/standin_platform.h"

namespace bio {

KeyCredentialPlatform& default_platform() {
    // Never destroyed: a daemon thread of the program may still be in a request while the
    // process exits, and the platform, its keys and the library stay for it.
    static standin::StandinPlatform& platform = *new standin::StandinPlatform;
    return platform;
}

}  // namespace bio
