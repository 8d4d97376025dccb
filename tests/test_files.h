// Files on disk for tests: the tool reads real files, so the tests do too.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

namespace mavek::test {

// A new folder under the system's temporary folder, removed with its contents.
struct temp_dir {
    std::filesystem::path path = make();

    temp_dir() = default;
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }

    // Writes bytes to the file `name` in the folder and returns the file's path.
    std::string file(std::string_view name, std::string_view bytes) const {
        const std::filesystem::path file_path = path / name;
        std::ofstream out(file_path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) throw std::runtime_error("cannot write " + file_path.string());
        return file_path.string();
    }

private:
    static std::filesystem::path make() {
        std::string name = (std::filesystem::temp_directory_path() / "mavek-tally-test-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
        return name;
    }
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace mavek::test
