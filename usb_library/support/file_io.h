// Files by UTF-8 path. On Windows the paths reach the wide file calls, so a data directory
// under any user name the system allows works; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace USB {

// Path separator of the platform the core runs on ('\\' on Windows).
#if defined(_WIN32)
constexpr char kPathSep = '\\';
#else
constexpr char kPathSep = '/';
#endif

bool FileExists(const std::string& path);
// Creates one directory level; true when it exists afterwards.
bool MakeDirectory(const std::string& path);
// Size in bytes, -1 when the file cannot be found.
int64_t GetFileSize64(const std::string& path);
bool RemoveFile(const std::string& path);
// Replaces `to` when it exists.
bool RenameFile(const std::string& from, const std::string& to);
// Removes the files in folder whose names are prefix, at least one more character, and suffix.
void RemoveFilesNamed(const std::string& folder, const std::string& prefix, const std::string& suffix);

enum class FileRead { Ok, Missing, TooLarge, Failed };
// The whole file, when it holds at most `cap` bytes. Text mode turns CR LF into LF on Windows.
FileRead ReadWholeFile(const std::string& path, size_t cap, bool textMode, std::string& out);
// At most the first `maxBytes` bytes of the file; false when it cannot be read.
bool ReadFileStart(const std::string& path, size_t maxBytes, bool textMode, std::string& out);
// Hands the file's bytes to `sink` in pieces, in binary mode; false when it cannot be read
// whole or holds more than `cap` bytes.
bool ReadFileInPieces(const std::string& path, uint64_t cap, const std::function<void(const char*, size_t)>& sink);
// Appends in text mode (line ends as the platform writes them); false when nothing was written.
bool AppendTextFile(const std::string& path, const std::string& text);

// A binary file written in pieces; every write and the close report failure.
class FileWriter {
public:
    explicit FileWriter(const std::string& path);
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    bool IsOpen() const { return m_ok; }
    bool Write(const char* data, size_t size);
    bool Close();

private:
    std::FILE* m_file = nullptr;
    bool m_ok = false;
};

// What the platform's C library does with a UTF-8 path (posix/ and win32/ file_calls.cpp).
namespace FileCalls {
// fopen with a C mode text; null when it fails or the path is not UTF-8.
std::FILE* Open(const std::string& path, const char* mode);
// False when nothing is there; else whether it is a directory and its size.
bool Stat(const std::string& path, bool& directory, int64_t& size);
bool MakeDir(const std::string& path);
bool Remove(const std::string& path);
// Replaces `to` when it exists, in one step.
bool Rename(const std::string& from, const std::string& to);
// The names of the files in a folder (not "." and ".."); empty when it cannot be read.
std::vector<std::string> List(const std::string& folder);
}  // namespace FileCalls

}  // namespace USB
