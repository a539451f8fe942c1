#include "support/TempDir.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>

namespace {

std::filesystem::path fromUtf8(const std::string& s) { return std::u8string(s.begin(), s.end()); }

}  // namespace

std::string uniqueName() {
    static std::atomic<unsigned> counter{0};
    return "qw-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++);
}

TempDir::TempDir() : root_(std::filesystem::temp_directory_path() / uniqueName()) {
    std::filesystem::create_directories(root_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TempDir::path(const std::string& name) const {
    auto full = (root_ / fromUtf8(name)).u8string();
    return std::string(full.begin(), full.end());
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(fromUtf8(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(fromUtf8(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }
