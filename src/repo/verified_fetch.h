// A repository file fetched and checked against its checksum. A copy that
// fails the check may come from a stale HTTP cache on the way, so it is
// fetched once more past the caches; a second bad copy is final.
#pragma once

#include <functional>
#include <string>

// fetch(bypassCaches) transfers the file and logs its own failure; isValid
// checks the copy; name is what the checksum messages call the file.
bool fetchVerified(const std::string& name, const std::function<bool(bool bypassCaches)>& fetch,
                   const std::function<bool()>& isValid);
