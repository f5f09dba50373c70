// What every Wine test program asks of the file system: its own folder, the temporary folder,
// and a file's bytes.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline std::wstring SelfPath()
{
    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

// This program's folder, with its trailing backslash.
inline std::string OwnFolder()
{
    return std::filesystem::path(SelfPath()).parent_path().string() + "\\";
}

inline std::wstring TempDir()
{
    wchar_t temp[MAX_PATH + 1] = {0};
    GetTempPathW(MAX_PATH + 1, temp);
    return temp;
}

inline std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
