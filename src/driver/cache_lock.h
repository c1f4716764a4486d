// The advisory lock that keeps a second updater off the cache and the RPM database.
#pragma once

class Config;

// Takes the write lock on the lock file, waiting up to m_nLockTimeout seconds
// for another instance (one attempt only when it is 0 or less), and writes
// our process id into the file. On true the lock is held until the process
// exits. A termination signal during the wait ends it without a message.
bool acquireCacheLock(const Config& config);
