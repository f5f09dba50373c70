#include "support/file_io.h"

#include <vector>

namespace USB {

namespace {

// Reads what the file gives up to `want` bytes; false on a read error.
bool ReadUpTo(std::FILE* file, size_t want, std::string& out)
{
    out.resize(want);
    const size_t got = want ? std::fread(&out[0], 1, want, file) : 0;
    out.resize(got);
    return !std::ferror(file);
}

}  // namespace

bool FileExists(const std::string& path)
{
    bool directory = false;
    int64_t size = 0;
    return !path.empty() && FileCalls::Stat(path, directory, size);
}

bool MakeDirectory(const std::string& path)
{
    FileCalls::MakeDir(path);
    bool directory = false;
    int64_t size = 0;
    return FileCalls::Stat(path, directory, size) && directory;
}

int64_t GetFileSize64(const std::string& path)
{
    bool directory = false;
    int64_t size = 0;
    return FileCalls::Stat(path, directory, size) && !directory ? size : -1;
}

bool RemoveFile(const std::string& path)
{
    return !path.empty() && FileCalls::Remove(path);
}

bool RenameFile(const std::string& from, const std::string& to)
{
    return FileCalls::Rename(from, to);
}

void RemoveFilesNamed(const std::string& folder, const std::string& prefix, const std::string& suffix)
{
    std::string base = folder;
    if (!base.empty() && base.back() != '/' && base.back() != '\\')
        base += kPathSep;
    for (const std::string& name : FileCalls::List(folder)) {
        // A file that stays does not end the sweep.
        if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            FileCalls::Remove(base + name);
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
    std::FILE* file = FileCalls::Open(path, textMode ? "r" : "rb");
    if (!file)
        return FileRead::Failed;
    // Text mode may hand back fewer bytes than the file holds.
    const bool ok = ReadUpTo(file, static_cast<size_t>(size), out);
    std::fclose(file);
    return ok ? FileRead::Ok : FileRead::Failed;
}

bool ReadFileStart(const std::string& path, size_t maxBytes, bool textMode, std::string& out)
{
    out.clear();
    std::FILE* file = FileCalls::Open(path, textMode ? "r" : "rb");
    if (!file)
        return false;
    const bool ok = ReadUpTo(file, maxBytes, out);
    std::fclose(file);
    return ok;
}

bool ReadFileInPieces(const std::string& path, uint64_t cap, const std::function<void(const char*, size_t)>& sink)
{
    const int64_t size = GetFileSize64(path);
    if (size < 0 || static_cast<uint64_t>(size) > cap)
        return false;
    std::FILE* file = FileCalls::Open(path, "rb");
    if (!file)
        return false;
    std::vector<char> buffer(64 * 1024);
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        const size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
        total += got;
        if (total > cap) {
            ok = false;
            break;
        }
        if (got)
            sink(buffer.data(), got);
        if (got < buffer.size())
            break;
    }
    ok = ok && !std::ferror(file);
    std::fclose(file);
    return ok;
}

bool AppendTextFile(const std::string& path, const std::string& text)
{
    std::FILE* file = FileCalls::Open(path, "a");
    if (!file)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

FileWriter::FileWriter(const std::string& path) : m_file(FileCalls::Open(path, "wb")), m_ok(m_file != nullptr) {}

FileWriter::~FileWriter()
{
    Close();
}

bool FileWriter::Write(const char* data, size_t size)
{
    if (!m_ok)
        return false;
    m_ok = std::fwrite(data, 1, size, m_file) == size;
    return m_ok;
}

bool FileWriter::Close()
{
    if (!m_file)
        return m_ok;
    m_ok = std::fclose(m_file) == 0 && m_ok;
    m_file = nullptr;
    return m_ok;
}

}  // namespace USB
