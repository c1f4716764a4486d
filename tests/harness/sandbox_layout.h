// The folders a sandbox redirects, shared by sandbox-run and the Sandbox
// class: inside the namespace they are overlays whose upper layers are
// SANDBOX/root/<folder>, and /tmp is SANDBOX/root/tmp.
#pragma once

#include <string>

namespace sandbox_layout {

constexpr const char* kOverlaid[] = {"etc", "var", "usr", "opt", "dev", "media"};

// True when the absolute path is the folder itself or lies below it.
inline bool isUnder(const std::string& path, const std::string& folder) {
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// The redirected folder ("/etc", ..., "/tmp") that holds the absolute path,
// or empty when the path is the host's own.
inline std::string redirectedFolder(const std::string& path) {
    for (const char* name : kOverlaid) {
        std::string folder = std::string("/") + name;
        if (isUnder(path, folder)) {
            return folder;
        }
    }
    return isUnder(path, "/tmp") ? "/tmp" : "";
}

}  // namespace sandbox_layout
