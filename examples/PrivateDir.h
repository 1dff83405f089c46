// The demo's default state directory, made safe to use in a shared /tmp.
//
// The default lies at a predictable path under $TMPDIR, so another user can
// create it first, or plant a link there, and have the demo write its store
// and scratch files wherever they point. PreparePrivateDir() creates the
// directory with mode 0700 when it is missing and otherwise accepts it only
// when it is a real directory (not a link) owned by the effective user and
// writable by nobody else.
//
// Thread-safety: a pure function of its arguments and the file system.

#ifndef ZRPERF_EXAMPLES_PRIVATEDIR_H_
#define ZRPERF_EXAMPLES_PRIVATEDIR_H_

#include <string>

namespace zrdemo {

// True when `path` is (now) a directory private to this user. On false,
// `error` says why in one line that names the path.
bool PreparePrivateDir(const std::string& path, std::string* error);

}  // namespace zrdemo

#endif  // ZRPERF_EXAMPLES_PRIVATEDIR_H_
