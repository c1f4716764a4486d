// The advisory lock that keeps a second updater off the cache and the RPM database.
#pragma once

class Config;

// On true the lock is held until the process exits.
bool acquireCacheLock(const Config& config);
