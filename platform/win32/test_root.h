// Tests: a fresh run's root in /tmp with the system folder, named in VORNET_ROOT while it
// lives and removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

struct TempRoot {
    std::filesystem::path dir;
    explicit TempRoot(const std::string& tag = "vornet-root", const char* drivers = "C/WINNT/system32/drivers")
    {
        std::string pattern = "/tmp/" + tag + "-XXXXXX";
        dir = ::mkdtemp(pattern.data());
        std::filesystem::create_directories(dir / drivers);
        ::setenv("VORNET_ROOT", dir.c_str(), 1);
    }
    ~TempRoot()
    {
        ::unsetenv("VORNET_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
};
