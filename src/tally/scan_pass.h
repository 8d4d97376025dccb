// One pass over a mavek file: the value of every line that has a token, and
// a keyed hash of the bytes read.
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
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "tally/kernel/avx2_layer.h"
#include "tally/kernel/avx512_layer.h"
#include "tally/kernel/block_scan.h"
#include "tally/kernel/cpu_paths.h"
#include "tally/kernel/edge_scan.h"
#include "tally/kernel/portable_layer.h"
#include "tally/kernel/visitor.h"
#include "tally/progress.h"
#include "tally/raw_io.h"
#include "tally/read_hash.h"
#include "tally/tally_error.h"

namespace mavek {

// The size of a read: large enough that the per-read cost vanishes, and
// small enough that the block, the page-cache pages the kernel copies it from
// and the hash's key all stay in the core's L2 cache, where the scan and the
// hash then find them (with 1 MiB of L2, 448 KiB blocks take a fifth less
// time than 960 KiB ones). Whole units of the hash, from 256 to 960 KiB;
// 960 KiB where the system does not tell (0 or -1): with the key, 1 MiB.
std::size_t block_size_for(long l2_bytes);
std::size_t default_block_size();  // for this processor

std::int32_t token_value(std::string_view token);

// The visitor of a reading that only hashes its bytes.
struct bytes_only {};

// How a pass ended. Two passes over one unchanged file end alike.
struct pass_end {
    std::uint64_t bytes = 0;               // read from the input
    std::uint64_t lines = 0;               // newline bytes read, where the lines were visited
    std::uint64_t hash = 0;                // of the bytes, with the key of the options, if any
    bool stopped = false;                  // the visitor stopped it before the end
    std::optional<tally_error> failure{};  // not_rewindable, out_of_memory or read_failed
};

// How a pass reads: in blocks of block_size bytes, on a scan path (one that
// the processor lacks, or that glibc's tunables switch off, falls back to
// the fastest it may use), hashing the bytes with `key` if given, and
// telling `progress`, if given, the bytes read so far after each block.
struct scan_options {
    std::size_t block_size = default_block_size();
    scan_path path = fastest_scan_path();
    const hash_key* key = nullptr;
    const run_progress* progress = nullptr;
    run_stage stage = run_stage::first_reading;
    std::uint64_t total = 0;
};

// Feeds one piece of a block (a unit of the hash), followed by 2 * chunk_bytes
// readable bytes, to the scan: the line the last piece left open to
// scan_edge_line, the lines that end in this piece to the slice loop, and
// the line this piece leaves open to scan_edge_line.
template <scan_layer layer, line_visitor Visitor>
scan_step scan_piece(edge_scan& scan, const char* p, const char* const end, Visitor& visit, kernel_space& space) {
    const void* last_newline = ::memrchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* const complete = last_newline ? static_cast<const char*>(last_newline) + 1 : p;
    if (scan.at != edge_scan::phase::leading_space && p < complete &&
        scan_edge_line(scan, p, complete, visit) == scan_step::stop)
        return scan_step::stop;
    if (p < complete) {
        line_walk walk{.p = p, .line = scan.line, .space = space};
        if (visit_slices<layer>(walk, complete, visit) == scan_step::stop) return scan_step::stop;
        scan.line = walk.line;
        p = complete;
    }
    while (p != end)
        if (scan_edge_line(scan, p, end, visit) == scan_step::stop) return scan_step::stop;
    return scan_step::go_on;
}

// Where the kernel's space starts in a block's allocation: after the block
// and its padding, on a cache line.
constexpr std::size_t kernel_space_at(std::size_t block_size) {
    return (block_size + 2 * chunk_bytes + 63) / 64 * 64;
}

template <scan_layer layer, class Visitor>
pass_end scan_blocks(int input, Visitor& visit, const scan_options& options) {
    pass_end end{.failure = rewind_input(input)};
    if (end.failure) return end;
    // The block, the padding that the kernels may read past it, and the kernel's space.
    const std::size_t block_size = options.block_size;
    const std::unique_ptr<char, free_block> block = make_block(kernel_space_at(block_size) + sizeof(kernel_space));
    if (!block) {
        end.failure = tally_error{.fault = tally_fault::out_of_memory};
        return end;
    }
    kernel_space& space = *reinterpret_cast<kernel_space*>(block.get() + kernel_space_at(block_size));
    read_hash hash{.key = options.key};
    edge_scan scan;
    for (;;) {
        const ssize_t got = read_block(input, block.get(), block_size);
        if (got < 0) {
            end.failure = tally_error{.fault = tally_fault::read_failed, .system_error = errno};
            break;
        }
        if (got == 0) {
            if constexpr (line_visitor<Visitor>) end.stopped = finish_edge_scan(scan, visit) == scan_step::stop;
            break;
        }
        end.bytes += static_cast<std::uint64_t>(got);
        // A unit of the hash at a time, hashed and then scanned while it is
        // in the nearest cache.
        for (const char* piece = block.get(); piece != block.get() + got && !end.stopped;) {
            const auto size = std::min(static_cast<std::size_t>(block.get() + got - piece), unit_bytes);
            if (hash.key) hash_bytes<layer>(hash, piece, size);
            if constexpr (line_visitor<Visitor>)
                end.stopped = scan_piece<layer>(scan, piece, piece + size, visit, space) == scan_step::stop;
            piece += size;
        }
        if (end.stopped) break;
        if (options.progress)
            options.progress->tell(options.progress->context, options.stage, end.bytes, options.total);
    }
    end.lines = scan.line - 1;
    if (hash.key) end.hash = finish_hash<layer>(hash);
    return end;
}

#if defined(__x86_64__)
// flatten inlines the whole pass into one function compiled for the layer's
// instruction set: its steps cannot be inlined into one compiled without.
template <class Visitor>
[[gnu::target(MAVEK_AVX2_TARGET), gnu::flatten]] pass_end scan_blocks_avx2(int input, Visitor& visit,
                                                                           const scan_options& options) {
    return scan_blocks<avx2_layer>(input, visit, options);
}

template <class Visitor>
[[gnu::target(MAVEK_AVX512_TARGET), gnu::flatten]] pass_end scan_blocks_avx512(int input, Visitor& visit,
                                                                               const scan_options& options) {
    return scan_blocks<avx512_layer>(input, visit, options);
}

// The portable layer for the x86-64 processors that count bits in one
// instruction, every one since 2008; the others run the same code with the
// compiler's own count.
template <class Visitor>
[[gnu::target("popcnt"), gnu::flatten]] pass_end scan_blocks_popcnt(int input, Visitor& visit,
                                                                    const scan_options& options) {
    return scan_blocks<portable_layer>(input, visit, options);
}
#endif

// Reads the open input from its first byte to its end and hands the value
// of each line that has a token to `visit`, in file order, until it says
// stop; or, for bytes_only, only hashes the bytes. Memory stays at one
// block, whatever the length of a line. Every path gives the same visits
// and the same hash.
template <class Visitor>
requires line_visitor<Visitor> || std::same_as<Visitor, bytes_only> pass_end
scan_pass(int input, Visitor& visit, const scan_options& options = {}) {
#if defined(__x86_64__)
    const scan_path usable = std::min(options.path, fastest_scan_path());
    if (usable == scan_path::avx512) return scan_blocks_avx512(input, visit, options);
    if (usable == scan_path::avx2) return scan_blocks_avx2(input, visit, options);
    static const bool popcnt = (cpu_features() & has_popcnt) != 0;
    if (popcnt) return scan_blocks_popcnt(input, visit, options);
#endif
    return scan_blocks<portable_layer>(input, visit, options);
}

}  // namespace mavek
