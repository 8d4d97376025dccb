#include "tally/scan_pass.h"

#include <algorithm>

#include <unistd.h>

namespace mavek {

std::size_t default_block_size() {
    static const std::size_t size = [] {
        constexpr long least = 256 * 1024, most = 960 * 1024;
        const long cache = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
        if (cache <= 0) return std::size_t{most};
        const long half = (cache - long{sizeof(hash_key)}) / 2 / long{unit_bytes} * long{unit_bytes};
        return static_cast<std::size_t>(std::clamp(half, least, most));
    }();
    return size;
}

std::int32_t token_value(std::string_view token) {
    number_parse number;
    parse_number(number, token.data(), token.data() + token.size());
    return number_value(number);
}

}  // namespace mavek
