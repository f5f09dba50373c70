#include "support/file_io.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace USB {

namespace fs = std::filesystem;

namespace {

// A text that is not UTF-8 names no file: the call then fails instead of throwing.
fs::path PathOf(const std::string& utf8)
{
    try {
        return fs::u8path(utf8);
    } catch (...) {
        return fs::path();
    }
}

}  // namespace

bool FileExists(const std::string& path)
{
    std::error_code ec;
    return !path.empty() && fs::exists(PathOf(path), ec);
}

bool MakeDirectory(const std::string& path)
{
    std::error_code ec;
    const fs::path p = PathOf(path);
    fs::create_directory(p, ec);
    return fs::is_directory(p, ec);
}

int64_t GetFileSize64(const std::string& path)
{
    std::error_code ec;
    const uintmax_t size = fs::file_size(PathOf(path), ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

bool RemoveFile(const std::string& path)
{
    std::error_code ec;
    return fs::remove(PathOf(path), ec) && !ec;
}

bool RenameFile(const std::string& from, const std::string& to)
{
    std::error_code ec;
    fs::rename(PathOf(from), PathOf(to), ec);
    return !ec;
}

void RemoveFilesNamed(const std::string& folder, const std::string& prefix, const std::string& suffix)
{
    std::error_code ec;
    for (fs::directory_iterator it(PathOf(folder), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().u8string();
        if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            std::error_code removeError;  // a file that stays does not end the sweep
            fs::remove(it->path(), removeError);
        }
    }
}

FileRead ReadWholeFile(const std::string& path, size_t cap, bool textMode, std::string& out)
{
    out.clear();
    const int64_t size = GetFileSize64(path);
    if (size < 0)
        return FileRead::Missing;
    if (static_cast<uint64_t>(size) > cap)
        return FileRead::TooLarge;
    std::ifstream in(PathOf(path), textMode ? std::ios::in : std::ios::in | std::ios::binary);
    if (!in)
        return FileRead::Failed;
    // Text mode may hand back fewer bytes than the file holds.
    out.resize(static_cast<size_t>(size));
    in.read(&out[0], size);
    out.resize(static_cast<size_t>(in.gcount()));
    return in.bad() ? FileRead::Failed : FileRead::Ok;
}

bool ReadFileStart(const std::string& path, size_t maxBytes, bool textMode, std::string& out)
{
    out.assign(maxBytes, '\0');
    std::ifstream in(PathOf(path), textMode ? std::ios::in : std::ios::in | std::ios::binary);
    if (!in) {
        out.clear();
        return false;
    }
    in.read(&out[0], static_cast<std::streamsize>(maxBytes));
    out.resize(static_cast<size_t>(in.gcount()));
    return !in.bad();
}

bool ReadFileInPieces(const std::string& path, uint64_t cap, const std::function<void(const char*, size_t)>& sink)
{
    const int64_t size = GetFileSize64(path);
    if (size < 0 || static_cast<uint64_t>(size) > cap)
        return false;
    std::ifstream in(PathOf(path), std::ios::in | std::ios::binary);
    if (!in)
        return false;
    std::vector<char> buffer(64 * 1024);
    uint64_t total = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const size_t got = static_cast<size_t>(in.gcount());
        total += got;
        if (total > cap)
            return false;
        if (got)
            sink(buffer.data(), got);
    }
    return !in.bad();
}

bool AppendTextFile(const std::string& path, const std::string& text)
{
    std::ofstream out(PathOf(path), std::ios::out | std::ios::app);
    if (!out)
        return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return !out.fail();
}

FileWriter::FileWriter(const std::string& path)
    : m_out(PathOf(path), std::ios::out | std::ios::binary | std::ios::trunc), m_ok(static_cast<bool>(m_out))
{
}

bool FileWriter::Write(const char* data, size_t size)
{
    if (!m_ok)
        return false;
    m_out.write(data, static_cast<std::streamsize>(size));
    m_ok = static_cast<bool>(m_out);
    return m_ok;
}

bool FileWriter::Close()
{
    if (!m_out.is_open())
        return m_ok;
    m_out.close();
    m_ok = m_ok && !m_out.fail();
    return m_ok;
}

}  // namespace USB
