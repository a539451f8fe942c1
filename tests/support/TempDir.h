#pragma once
// A fresh folder under the system's temporary folder, removed with its contents
// when the object goes; and whole-file helpers.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// "qw-test-<random>-<count>": a name no other test uses, for folders and pipes.
std::string uniqueName();

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& root() const { return root_; }
    // root/name as a UTF-8 string, the form the program's names take.
    std::string path(const std::string& name) const;

private:
    std::filesystem::path root_;
};

std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> bytesOf(const std::string& text);
