#include "tally/scan_pass.h"

#include <algorithm>

#include <unistd.h>

namespace mavek {

std::size_t block_size_for(long l2_bytes) {
    constexpr long least = 256 * 1024, most = 960 * 1024;
    if (l2_bytes <= 0) return most;
    const long half = (l2_bytes - long{sizeof(hash_key)}) / 2 / long{unit_bytes} * long{unit_bytes};
    return static_cast<std::size_t>(std::clamp(half, least, most));
}

std::size_t default_block_size() {
    static const std::size_t size = block_size_for(::sysconf(_SC_LEVEL2_CACHE_SIZE));
    return size;
}

std::int32_t token_value(std::string_view token) {
    number_parse number;
    parse_number(number, token.data(), token.data() + token.size());
    return number_value(number);
}

}  // namespace mavek
