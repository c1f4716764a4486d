// The directory layout of a sandbox, shared by sandbox-run and the Sandbox
// class (no test framework here: sandbox-run links nothing else). Inside the
// namespace /etc, /var, /usr, /opt, /dev and /media are overlays whose upper
// layers are SANDBOX/root/<folder>, and /tmp is SANDBOX/root/tmp.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
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

inline bool mkdirs(const std::string& path, mode_t mode = 0755) {
    for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        std::string partial = path.substr(0, pos);
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
        if (pos == std::string::npos) {
            return true;
        }
    }
}

inline bool writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f != nullptr && fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = f != nullptr && fclose(f) == 0 && ok;
    return ok && chmod(path.c_str(), mode) == 0;
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
        struct stat st;
        ok = ok && (lstat(path.c_str(), &st) == 0 ||
                    writeFile(path,
                              "#!/bin/sh\n# Stand-in for the real " + stub + "\necho \"" + stub +
                                  " $*\" >> '" + sandbox + "/out/calls.log'\nexit $(cat '" +
                                  sandbox + "/out/" + stub + ".exit' 2>/dev/null || echo 0)\n",
                              0755));
    }
    struct stat st;
    std::string macros = sandbox + "/home/.rpmmacros";
    return ok && (lstat(macros.c_str(), &st) == 0 ||
                  writeFile(macros, "%_dbpath " + sandbox + "/rpmdb\n"));
}

}  // namespace sandbox_layout
