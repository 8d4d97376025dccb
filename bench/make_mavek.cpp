// Writes a deterministic mavek file to standard output, for the benchmark.
//
//   make_mavek BYTES LARGEST MIN_TEXT MAX_TEXT [SEED [SHAPE]]
//
// Each line is a value from 1 to LARGEST, a tab, and MIN_TEXT to MAX_TEXT
// letters and spaces; lines are written until BYTES bytes are out. The values
// are uniform, or with SHAPE `skewed` small ones are the most common (1 + (r
// mod LARGEST) * (s mod 1000) / 1000), and the text holds digits too. The
// other shapes write the value as other programs do, followed by a space:
// `padded` right-aligned in 7 columns (as `uniq -c` does), `zeros` with
// leading zeros to 10 digits (as ids are), `plus` with a plus sign. The same
// arguments give the same bytes on every machine: the generator is our own,
// not a standard library distribution, whose output may differ between
// implementations.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// splitmix64: small, fast and good enough to make test data.
struct random_bits {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    // From low to high inclusive; the bias of the modulo is far below what a benchmark can see.
    std::uint64_t between(std::uint64_t low, std::uint64_t high) { return low + next() % (high - low + 1); }
};

bool read_count(const char* text, std::uint64_t& count) {
    const std::string_view digits(text);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    return error == std::errc{} && end == digits.data() + digits.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t bytes, largest, min_text, max_text, seed = 1;
    const std::string_view shape = argc == 7 ? argv[6] : "uniform";
    const bool skewed = shape == "skewed";
    if (argc < 5 || argc > 7 || !read_count(argv[1], bytes) || !read_count(argv[2], largest) ||
        !read_count(argv[3], min_text) || !read_count(argv[4], max_text) || (argc >= 6 && !read_count(argv[5], seed)) ||
        (shape != "uniform" && !skewed && shape != "padded" && shape != "zeros" && shape != "plus") || largest == 0 ||
        min_text > max_text) {
        std::fputs("usage: make_mavek BYTES LARGEST MIN_TEXT MAX_TEXT [SEED [uniform|skewed|padded|zeros|plus]]\n",
                   stderr);
        return 2;
    }
    // A pool of text to take each line's text from, so that making the data
    // costs little more than writing it.
    const std::string_view letters =
        skewed ? "abcdefghijklmnopqrstuvwxyz0123456789     " : "abcdefghijklmnopqrstuvwxyz     ";
    random_bits random{seed};
    std::string pool(max_text + 4096, ' ');
    for (char& c : pool) c = letters[random.next() % letters.size()];

    std::string line;
    for (std::uint64_t written = 0; written < bytes; written += line.size()) {
        char value[24];
        const std::uint64_t drawn =
            skewed ? 1 + random.next() % largest * (random.next() % 1000) / 1000 : random.between(1, largest);
        const std::string_view digits(value, std::to_chars(value, value + sizeof value, drawn).ptr);
        line.clear();
        const std::size_t width = shape == "padded" ? 7 : shape == "zeros" ? 10 : 0;
        if (digits.size() < width) line.append(width - digits.size(), shape == "padded" ? ' ' : '0');
        if (shape == "plus") line += '+';
        line += digits;
        line += shape == "uniform" || skewed ? '\t' : ' ';
        const std::uint64_t text = random.between(min_text, max_text);
        line.append(pool, random.between(0, pool.size() - text), text);
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) {
            std::perror("make_mavek");
            return 1;
        }
    }
    if (std::fflush(stdout) != 0) {
        std::perror("make_mavek");
        return 1;
    }
}
