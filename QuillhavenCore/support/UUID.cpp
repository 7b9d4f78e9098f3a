#include "support/UUID.h"

#include <uuid/uuid.h>

namespace quillhaven::uuid {

std::string make() {
    uuid_t id;
    uuid_generate_random(id);
    char out[37];
    uuid_unparse_upper(id, out);
    return out;
}

std::optional<std::string> normalized(std::string_view s) {
    if (s.size() != 36) return std::nullopt;
    std::string copy(s);
    uuid_t id;
    if (uuid_parse(copy.c_str(), id) != 0) return std::nullopt;
    char out[37];
    uuid_unparse_upper(id, out);
    return std::string(out);
}

} // namespace quillhaven::uuid
