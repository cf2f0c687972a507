// Host utility library: node identity, configuration keys, conversions and
// the host sleep call. None of these functions throws.
//
// Key store: a text file at the path in the environment variable
// TARNEL_KEYSTORE, default /etc/tarnel/keystore.conf, of lines `key=value`:
//   - the key is the text before the first '=', without surrounding blanks
//     (spaces, tabs); the value is everything after that '=' exactly as
//     written (blanks, further '=' and '#' included), less a trailing CR;
//   - a line whose first non-blank character is '#' is a comment; blank
//     lines, lines without '=' and lines with an empty key are skipped;
//   - when a key appears more than once, the last line wins.
// Every call sees the store as it is at that moment (it is small: at most
// 1 MiB is read; a larger file counts as unreadable). The store is opened
// without waiting and must be a regular file, or a symbolic link to one: a
// directory, a device, a FIFO or a socket at the path counts as unreadable
// (never a wait for a writer of a FIFO). A reader stat()s the
// file and reuses the text it read last while the file is the same one,
// unchanged (path, inode, size, modification and status-change times) and
// had been left alone for 2 s before that read; otherwise it reads the file.
// Settings that also have an environment variable take the variable's value
// when it is set and not empty:
// "sTarnelLogDir" (TARNEL_LOG_DIR) and "dTarnelDebugLevel" (TARNEL_DEBUG_LEVEL).
//
// Keys read by the host services and the library: "sTarnelCluster" (cluster
// name), "sTarnelSerial" (serial number), "sTarnelCID" (stored cluster
// password, encrypted), "dEnableCurlTraceLogging", "sTarnelLogDir",
// "dTarnelDebugLevel", "dTarnelProcessTimeout", "dTarnelConnectTimeout",
// "dTarnelRequestTimeout"; each service's header tells its meaning.
#pragma once

#include <string>

#include "host_export.h"

class RkCancelToken;

namespace rkmx_utils {

// The local host's name (gethostname); empty if the system cannot tell it.
RK_HOST_API std::string get_hostname();
// Reads configuration key `key` into `value`. 0 when the key exists (its
// value may be empty); otherwise `value` is left as it was and the result is
//   1  the store was read and does not set the key;
//   2  there is no store that can be read: no file at the path, a directory,
//      a device, a FIFO or a socket there, a file over 1 MiB, or an error of
//      open or read;
//  -1  out of memory.
// Callers (tarnelctl's messages among them) tell "not configured" (1) from
// "the store cannot be read" (2) by exactly these values. After a result of
// 2, errno holds the cause of the failing step: the errno value of stat,
// open or read (EMFILE when the process is out of descriptors), EFBIG for a
// file over 1 MiB, EINVAL for anything but a regular file.
RK_HOST_API int get_reg_key(std::string key, std::string& value);
// The number a decimal text spells: digits only (no sign, blanks or prefix),
// at most 4294967295; 0 for anything else.
RK_HOST_API unsigned int string_to_uint(std::string text);
// The node's serial number: key "sTarnelSerial" when set and not empty,
// otherwise the DMI product serial read from the file named by the
// environment variable TARNEL_DMI_SERIAL_PATH (default
// /sys/class/dmi/id/product_serial; read like the store: without waiting,
// a regular file or a link to one), without surrounding white space.
// 0 and a non-empty text on success; otherwise non-zero, `serial` unchanged.
RK_HOST_API int get_serial_number(std::string& serial);
// The name of the cluster this node belongs to: key "sTarnelCluster".
// 0 and a non-empty text on success; otherwise non-zero, `name` unchanged.
RK_HOST_API int get_tarnel_cluster(std::string& name);
// `value` in `unit` expressed in gigabytes (2^30 bytes). Units, without
// regard to case and surrounding white space: B, KB, MB, GB, TB, PB and KiB,
// MiB, GiB, TiB, PiB, all with binary factors (1 KB = 1 KiB = 1024 B).
// 0 for an unknown or empty unit.
RK_HOST_API double convert_size_to_gb(double value, std::string unit);

// Provisioning (used by the command-line tool, not by the library): stores
// `value` under `key` in the key store. The first line of the key gets the
// new value, later lines of the same key are dropped, every other line
// (comments and unreadable lines included) is kept; a new key is appended.
// The store is replaced atomically: a temporary file in the same directory,
// mode 0600, written, fsync'ed and renamed over the store, so a reader sees
// the old or the new store whole. A missing store is created, and so is its
// directory's last level (mode 0755). Writers serialize on an flock of
// "<store>.lock" (waited for at most 5 s), a regular file opened never
// through a symbolic link (a link there is refused and its target neither
// created nor touched). A symbolic link at the store's own path is read
// through but replaced by the rename, never written through. Before
// writing, a writer removes the temporary files that killed writers of the
// same store left ("<store>.tmp." and six letters or digits, regular files
// unchanged for over a minute); nothing else in the directory. The key must
// be non-empty, without surrounding blanks, '=', CR, LF or NUL and not start
// with '#'; the value without CR, LF or NUL. The result is
//   0  stored;
//   2  the store exists but cannot be read (see get_reg_key); it is never
//      replaced then;
//   3  a key or value the store cannot hold;
//   4  another writer held the lock for the whole wait;
//   5  the write failed: the directory or the lock file could not be made or
//      opened (a link or anything but a regular file at the lock), or the
//      temporary file could not be created, written, synced or renamed; the
//      store is then left as it was and the temporary file removed;
//  -1  out of memory.
// After a result of 2 or 5, errno holds the cause of the failing step (as
// for get_reg_key; EROFS on a read-only and ENOSPC on a full file system,
// EFBIG past the file size limit).
RK_HOST_API int set_reg_key(const std::string& key, const std::string& value);

// The factor TARNEL_SLEEP_SCALE puts on every pause of ZUSLEEP_InTeRnAl and
// ZUSLEEP_Cancellable: 1 when the variable is unset or not a decimal from 0
// to 1000. A pause of n milliseconds takes n times this factor, so a caller
// that keeps a deadline weighs its pauses with it.
RK_HOST_API double get_sleep_scale();

}  // namespace rkmx_utils

// Blocks the calling thread for `milliseconds` (nothing for 0 or less),
// across signal interruptions: the pause ends at a deadline on the monotonic
// clock. The environment variable TARNEL_SLEEP_SCALE, a decimal factor from 0
// to 1000 (e.g. 0.001 for tests), scales the pause; another text is ignored.
// `file` and `line` name the caller and are not used. Returns 0.
RK_HOST_API int ZUSLEEP_InTeRnAl(int milliseconds, const char* file, int line);

// The pause of the library's call API: like ZUSLEEP_InTeRnAl (monotonic
// deadline, TARNEL_SLEEP_SCALE), but it ends at once when `token` (may be
// null) is cancelled, before or during the pause: it waits on the token's
// descriptor, or looks at its flag every 100 ms when it has none. Returns 0
// after the whole pause, 1 when cancelled (at once for a token cancelled
// before the call, whatever the length).
RK_HOST_API int ZUSLEEP_Cancellable(int milliseconds, const RkCancelToken* token, const char* file,
                                    int line);
