#include "tally/scan_pass.h"

namespace mavek {

std::int32_t token_value(std::string_view token) {
    number_parse number;
    parse_number(number, token.data(), token.data() + token.size());
    return number_value(number);
}

}  // namespace mavek
