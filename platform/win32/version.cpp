// Version resources of our binaries: the record of platform/version_resource.h found in
// the file's bytes. The block handed to the caller is that record.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32/objects.h"

namespace plat::win32 {

namespace {

// The key is put together, so this library's own data does not carry it whole.
std::string version_key()
{
    std::string key = "VS_VERSION";
    key += "_INFO";
    key.push_back('\0');
    return key;
}

// A file of any size is read, but none larger than this is taken for a binary of ours.
constexpr std::streamoff kLargestBinary = std::streamoff(1) << 30;

std::optional<std::filesystem::path> version_file(const std::string& name)
{
    namespace fs = std::filesystem;
    if (!name.empty() && name[0] == '/') return fs::path(name);
    if (name.find_first_of("\\/:") == std::string::npos)
        for (const auto& c : library_candidates(name)) {
            std::error_code ec;
            if (c.find('/') != std::string::npos && fs::is_regular_file(c, ec)) return fs::path(c);
        }
    return host_path(name);
}

// The record in the file, or an error for the caller's last error.
DWORD find_record(const std::string& name, VersionResource* out)
{
    auto path = version_file(name);
    if (!path) return ERROR_PATH_NOT_FOUND;
    std::ifstream in(*path, std::ios::binary | std::ios::ate);
    if (!in) return ERROR_FILE_NOT_FOUND;
    std::streamoff size = in.tellg();
    if (size < 0 || size > kLargestBinary) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    std::vector<char> bytes(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(bytes.data(), size)) return ERROR_FILE_NOT_FOUND;
    const std::string key = version_key();
    for (auto at = bytes.begin();;) {
        at = std::search(at, bytes.end(), key.begin(), key.end());
        if (at == bytes.end()) return ERROR_RESOURCE_TYPE_NOT_FOUND;
        if (bytes.end() - at >= static_cast<long>(sizeof(VersionResource))) {
            VersionResource r;
            std::memcpy(&r, &*at, sizeof r);
            if (r.fixed.dwSignature == VS_FFI_SIGNATURE && r.fixed.dwStrucVersion == VS_FFI_STRUCVERSION) {
                *out = r;
                return ERROR_SUCCESS;
            }
        }
        ++at;
    }
}

}  // namespace

}  // namespace plat::win32

using namespace plat::win32;

DWORD GetFileVersionInfoSizeA(LPCSTR FileName, LPDWORD Handle)
{
    if (Handle != nullptr) *Handle = 0;
    if (FileName == nullptr) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    VersionResource r;
    if (DWORD e = find_record(FileName, &r); e != ERROR_SUCCESS) return fail(e, DWORD(0));
    SetLastError(ERROR_SUCCESS);
    return sizeof(VersionResource);
}

BOOL GetFileVersionInfoA(LPCSTR FileName, DWORD, DWORD Length, LPVOID Data)
{
    if (FileName == nullptr || Data == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    VersionResource r;
    if (DWORD e = find_record(FileName, &r); e != ERROR_SUCCESS) return fail(e, FALSE);
    if (Length < sizeof r) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(Data, &r, sizeof r);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID Block, LPCSTR SubBlock, LPVOID* Buffer, UINT* Length)
{
    if (Block == nullptr || SubBlock == nullptr || Buffer == nullptr || Length == nullptr)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    const auto* r = static_cast<const VersionResource*>(Block);
    if (std::memcmp(r->key, version_key().data(), sizeof r->key) != 0 || r->fixed.dwSignature != VS_FFI_SIGNATURE)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    // Only the root block: the fixed file information.
    if (std::strcmp(SubBlock, "\\") != 0) return fail(ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
    *Buffer = const_cast<VS_FIXEDFILEINFO*>(&r->fixed);
    *Length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}
