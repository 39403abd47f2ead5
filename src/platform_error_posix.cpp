#include "platform_error.h"

namespace bio {

// There is no system message table here: a platform that wants its errors explained
// attaches the text itself.
std::string system_message_text(std::int32_t /*code*/) { return {}; }

}  // namespace bio
