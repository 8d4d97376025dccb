// One pass over a mavek file: the value of every line that has a token.
//
// A line ends at a newline byte and nowhere else. Its token is the first run of
// bytes that are not POSIX whitespace; its value is the number the token starts
// with, read as strtol reads base 10 and held in the signed 32-bit range. A line
// without a token has no value and is not visited.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include <sys/types.h>

#include "tally/line_scan.h"
#include "tally/line_words.h"
#include "tally/block_lines.h"
#include "tally/raw_io.h"
#include "tally/status_line.h"
#include "tally/tally_error.h"

namespace mavek {

// Large enough that the per-read cost vanishes, small enough to stay in a
// core's cache. On the processors we build on, the kernel's copies into 1 MiB
// blocks take a fifth less time than into 256 KiB ones, and larger blocks
// gain little more.
inline constexpr std::size_t default_block_size = 1024 * 1024;

std::int32_t token_value(std::string_view token);

// Feeds one block, followed by 2 * chunk_bytes readable bytes, to the scan. The
// line the last block left open goes to scan_line, the lines that end in this
// block to visit_block_lines, and the line this block leaves open to scan_line.
template <scan_path path, class Visitor>
void scan_block(line_scan& scan, const char* p, const char* const end, Visitor& visit, kernel_space& space) {
    const void* last_newline = ::memrchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* const complete = last_newline ? static_cast<const char*>(last_newline) + 1 : p;
    if (scan.at != line_scan::phase::leading_space && p < complete) p = scan_line(scan, p, complete, visit);
    if (scan.stopped) return;
    if (p < complete && !visit_block_lines<path>(p, complete, scan, visit, space)) {
        scan.stopped = true;
        return;
    }
    p = std::max(p, complete);
    while (p != end && !scan.stopped) p = scan_line(scan, p, end, visit);
}

// How a pass ended. Two passes over one unchanged file end alike.
struct pass_end {
    std::uint64_t bytes = 0;             // read from the input
    std::uint64_t lines = 0;             // newline bytes read
    std::uint64_t fingerprint = 0;       // of the values visited, in their order, when not stopped
    bool stopped = false;                // the visitor stopped it before the end
    std::optional<tally_error> failure{};  // not_rewindable, out_of_memory or read_failed
};

// Where the kernel's space starts in a block's allocation: after the block
// and its padding, on a cache line.
constexpr std::size_t kernel_space_at(std::size_t block_size) {
    return (block_size + 2 * chunk_bytes + 63) / 64 * 64;
}

template <scan_path path, class Visitor>
pass_end scan_blocks(int input, Visitor& visit, std::size_t block_size, status_line* status, fingerprint_key key) {
    pass_end end{.failure = rewind_input(input)};
    if (end.failure) return end;
    // The block, the padding that the kernels may read past it, and the kernel's space.
    const std::unique_ptr<char, free_block> block = make_block(kernel_space_at(block_size) + sizeof(kernel_space));
    if (!block) {
        end.failure = tally_error{.fault = tally_fault::out_of_memory};
        return end;
    }
    kernel_space& space = *reinterpret_cast<kernel_space*>(block.get() + kernel_space_at(block_size));
    fill_weights(space.weights, key);
    line_scan scan;
    scan.digest = {.weight = space.weights.weight, .point = key.point};
    for (;;) {
        const ssize_t got = read_block(input, block.get(), block_size);
        if (got < 0) {
            end.failure = tally_error{.fault = tally_fault::read_failed, .system_error = errno};
            break;
        }
        if (got == 0) {
            finish_scan(scan, visit);
            break;
        }
        end.bytes += static_cast<std::uint64_t>(got);
        scan_block<path>(scan, block.get(), block.get() + got, visit, space);
        if (scan.stopped) break;
        if (status) status_progress(*status, end.bytes);
    }
    end.lines = scan.line - 1;
    end.fingerprint = finish_fingerprint(scan.digest, scan.line);
    end.stopped = scan.stopped;
    return end;
}

#if defined(__x86_64__)
// flatten inlines the whole pass into this one function, so that the AVX2
// code is inlined too: it cannot be inlined into a function compiled without.
template <class Visitor>
[[gnu::target("avx2,bmi,popcnt"), gnu::flatten]] pass_end scan_blocks_avx2(int input, Visitor& visit,
                                                                           std::size_t block_size,
                                                                           status_line* status, fingerprint_key key) {
    return scan_blocks<scan_path::avx2>(input, visit, block_size, status, key);
}

template <class Visitor>
[[gnu::target(MAVEK_AVX512_TARGET), gnu::flatten]] pass_end scan_blocks_avx512(int input, Visitor& visit,
                                                                                std::size_t block_size,
                                                                                status_line* status,
                                                                                fingerprint_key key) {
    return scan_blocks<scan_path::avx512>(input, visit, block_size, status, key);
}
#endif

scan_path fastest_scan_path();

// How a pass reads: in blocks of block_size bytes, on a scan path (one that
// the processor lacks falls back to the fastest it has), telling status, if
// given, the bytes read so far after each block; with the fingerprint's key,
// the same for readings that are to be compared.
struct scan_options {
    std::size_t block_size = default_block_size;
    scan_path path = fastest_scan_path();
    status_line* status = nullptr;
    fingerprint_key key{};
};

// Reads the open input from its first byte to its end and calls
// visit(value, line) once per line that has a token, in file order, until
// visit returns false. Memory stays at one block, whatever the length of a
// line. Every path gives the same visits.
template <class Visitor>
pass_end scan_pass(int input, Visitor&& visit, const scan_options& options = {}) {
    const auto [block_size, path, status, key] = options;
#if defined(__x86_64__)
    const scan_path usable = std::min(path, fastest_scan_path());
    if (usable == scan_path::avx512) return scan_blocks_avx512(input, visit, block_size, status, key);
    if (usable == scan_path::avx2) return scan_blocks_avx2(input, visit, block_size, status, key);
#else
    (void)path;
#endif
    return scan_blocks<scan_path::portable>(input, visit, block_size, status, key);
}

}  // namespace mavek
