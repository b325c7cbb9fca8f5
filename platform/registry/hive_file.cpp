#include "platform/registry/hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace plat::reg {

namespace {

constexpr const char* kTempPrefix = "registry.reg.";
constexpr const char* kTempSuffix = ".tmp";

// Temporary files of writers that died while they wrote. Only a writer holding the
// lock exclusively has one, so with it held every one found is stale.
void remove_stale_temporaries(const fs::path& root)
{
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (!it->is_regular_file(kind)) continue;  // a writer leaves files only
        const std::string name = it->path().filename().string();
        if (name.size() > std::strlen(kTempPrefix) + std::strlen(kTempSuffix) && name.rfind(kTempPrefix, 0) == 0 &&
            name.compare(name.size() - std::strlen(kTempSuffix), std::string::npos, kTempSuffix) == 0) {
            std::error_code gone;
            fs::remove(it->path(), gone);
        }
    }
}

}  // namespace

fs::path hive_path(const fs::path& root) { return root / "registry.reg"; }

HiveLock::HiveLock(const fs::path& root, bool exclusive)
{
    fd_ = ::open((root / "registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    int r;
    do r = ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

HiveLock::~HiveLock()
{
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

bool read_hive_text(const fs::path& root, std::string* text, std::string* error)
{
    std::ifstream in(hive_path(root), std::ios::binary);
    if (!in) {
        std::error_code ec;
        text->clear();
        if (!fs::exists(hive_path(root), ec)) return true;
        if (error) *error = "cannot read " + hive_path(root).string();
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) {
        if (error) *error = "cannot read " + hive_path(root).string();
        return false;
    }
    *text = std::move(all).str();
    return true;
}

bool write_hive_text(const fs::path& root, const std::string& text, std::string* error)
{
    remove_stale_temporaries(root);
    const fs::path temp = root / (kTempPrefix + std::to_string(::getpid()) + kTempSuffix);
    std::error_code ec;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            if (error) *error = "cannot write " + temp.string();
            fs::remove(temp, ec);
            return false;
        }
    }
    if (std::rename(temp.c_str(), hive_path(root).c_str()) != 0) {
        if (error) *error = "cannot replace " + hive_path(root).string() + ": " + std::strerror(errno);
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

bool replace_hive(const fs::path& root, const Registry& hive, std::string* error)
{
    HiveLock lock(root, true);
    if (!lock.held()) {
        if (error) *error = "cannot lock the hive in " + root.string();
        return false;
    }
    // One that cannot be read or parsed is replaced all the same.
    std::string text;
    Registry now;
    if (read_hive_text(root, &text, nullptr) && !text.empty() && now.load_reg(text).ok &&
        now.save_reg() == hive.save_reg()) {
        remove_stale_temporaries(root);
        return true;
    }
    return write_hive_text(root, hive.save_hive(), error);
}

}  // namespace plat::reg
