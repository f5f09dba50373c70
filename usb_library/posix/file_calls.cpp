// The file calls of the C library on a UTF-8 path: the POSIX side, where paths are bytes.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>

#include "support/file_io.h"

namespace USB {
namespace FileCalls {

std::FILE* Open(const std::string& path, const char* mode)
{
    return path.empty() ? nullptr : std::fopen(path.c_str(), mode);
}

bool Stat(const std::string& path, bool& directory, int64_t& size)
{
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return false;
    directory = S_ISDIR(info.st_mode);
    size = static_cast<int64_t>(info.st_size);
    return true;
}

bool MakeDir(const std::string& path)
{
    return !path.empty() && ::mkdir(path.c_str(), 0777) == 0;
}

bool Remove(const std::string& path)
{
    return std::remove(path.c_str()) == 0;
}

bool Rename(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::vector<std::string> List(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = folder.empty() ? nullptr : opendir(folder.c_str());
    for (dirent* e = dir ? readdir(dir) : nullptr; e; e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    if (dir)
        closedir(dir);
    return names;
}

}  // namespace FileCalls
}  // namespace USB
