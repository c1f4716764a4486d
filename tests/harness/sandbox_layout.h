// The directory layout of a sandbox, shared by sandbox-run and the Sandbox
// class (sandbox-run links nothing else). Inside the namespace /etc, /var,
// /usr, /opt, /dev and /media are overlays whose upper layers are
// SANDBOX/root/<folder>, and /tmp is SANDBOX/root/tmp.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace sandbox_layout {

constexpr const char* kOverlaid[] = {"etc", "var", "usr", "opt", "dev", "media"};

// The redirected folder ("/etc", ..., "/tmp") that holds the absolute path,
// or empty when the path is the host's own.
inline std::string redirectedFolder(const std::string& path) {
    for (std::string folder : {"/etc", "/var", "/usr", "/opt", "/dev", "/media", "/tmp"}) {
        if (path.compare(0, folder.size(), folder) == 0 &&
            (path.size() == folder.size() || path[folder.size()] == '/')) {
            return folder;
        }
    }
    return "";
}

inline bool mkdirs(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

inline bool writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return (out << content).flush() && chmod(path.c_str(), mode) == 0;
}

// Creates the layout; files that exist are kept, so tests may prepare them first.
inline bool init(const std::string& sandbox) {
    bool ok = true;
    for (const char* dir : kOverlaid) {
        ok = ok && mkdirs(sandbox + "/root/" + dir) && mkdirs(sandbox + "/work/" + dir);
    }
    // On Debian /var/run and /var/lock are links into /run; here they are
    // real directories of the sandbox.
    for (const char* dir :
         {"/root/var/lib/updater", "/root/var/log/updater", "/root/var/cache/updater",
          "/root/var/lock", "/root/var/run", "/root/usr/sbin", "/home", "/rpmdb", "/out"}) {
        ok = ok && mkdirs(sandbox + dir);
    }
    ok = ok && mkdirs(sandbox + "/root/tmp") && chmod((sandbox + "/root/tmp").c_str(), 01777) == 0;
    // Stand-ins for the real telinit and shutdown record their arguments and
    // exit with the code in SANDBOX/out/<name>.exit, if any.
    for (std::string stub : {"telinit", "shutdown"}) {
        std::string path = sandbox + "/root/usr/sbin/" + stub;
        ok = ok && (std::filesystem::exists(path) ||
                    writeFile(path,
                              "#!/bin/sh\necho \"" + stub + " $*\" >> '" + sandbox +
                                  "/out/calls.log'\nexit $(cat '" + sandbox + "/out/" + stub +
                                  ".exit' 2>/dev/null || echo 0)\n",
                              0755));
    }
    std::string macros = sandbox + "/home/.rpmmacros";
    return ok && (std::filesystem::exists(macros) ||
                  writeFile(macros, "%_dbpath " + sandbox + "/rpmdb\n"));
}

}  // namespace sandbox_layout
