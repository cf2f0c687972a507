// The key store, node identity, conversions and the sleep call, against real
// files in a temporary directory.
#include "rkmx_utils.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host_test_support.h"
#include "unique_fd.h"

using host_test::in_child;
using host_test::kNoExit;
using host_test::read_file;
using host_test::ScopedEnv;
using host_test::TempDir;
using host_test::write_file;

namespace {

double elapsed_ms(const std::chrono::steady_clock::time_point& start) {
  using Ms = std::chrono::duration<double, std::milli>;
  return Ms(std::chrono::steady_clock::now() - start).count();
}

// Sets the access and modification times of `path` to `seconds` ago.
void age(const std::string& path, int seconds) {
  struct timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class KeyStore : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string path = dir.file("keystore.conf");
  ScopedEnv keystore{"TARNEL_KEYSTORE", path};
  ScopedEnv logDir{"TARNEL_LOG_DIR", std::nullopt};
  ScopedEnv debugLevel{"TARNEL_DEBUG_LEVEL", std::nullopt};
  ScopedEnv dmi{"TARNEL_DMI_SERIAL_PATH", dir.file("product_serial")};

  static std::string read(const std::string& key, int* status = nullptr) {
    std::string value = "<untouched>";
    int result = rkmx_utils::get_reg_key(key, value);
    if (status) *status = result;
    return value;
  }

  // What an identity query gives: the value, or kFailed when it reports a
  // failure and leaves its argument untouched.
  static constexpr const char* kFailed = "<failed>";
  static std::string query(int (*ask)(std::string&)) {
    std::string value = "<untouched>";
    if (ask(value) == 0) return value;
    return value == "<untouched>" ? kFailed : "<failed, and changed to " + value + ">";
  }

  mode_t mode() const {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return status.st_mode & 07777;
  }

  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }
};

TEST_F(KeyStore, ReadsSettingsAndSkipsCommentsBlankAndMalformedLines) {
  write_file(path,
             "# a comment\n"
             "   # an indented comment\n"
             "\n"
             "sTarnelCluster=alpha\n"
             "  spaced key\t=  value with  spaces  \n"
             "no separator here\n"
             "=no key\n"
             "crlf=yes\r\n"
             "twice=first\n"
             "twice=second\n"
             "symbols=a=b#c\n"
             "empty=\n"
             "last=no final line feed");
  int status = -1;
  EXPECT_EQ(read("sTarnelCluster", &status), "alpha");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read("spaced key"), "  value with  spaces  ");
  EXPECT_EQ(read("crlf"), "yes");
  EXPECT_EQ(read("twice"), "second");
  EXPECT_EQ(read("symbols"), "a=b#c");
  EXPECT_EQ(read("empty", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read("last"), "no final line feed");

  for (const char* absent : {"no separator here", "# a comment", "a comment", "", "missing"}) {
    EXPECT_EQ(read(absent, &status), "<untouched>") << absent;
    EXPECT_EQ(status, 1) << absent;
  }
}

// Status 1: the store was read and lacks the key; 2: there is no store that
// can be read (a FIFO is in AFifoInPlaceOfAnyOfItsFilesIsRefusedAtOnce).
TEST_F(KeyStore, AMissingKeyIsStatus1AndAStoreThatCannotBeReadStatus2) {
  int status = 0;
  EXPECT_EQ(read("k", &status), "<untouched>");
  EXPECT_EQ(status, 2);  // no file

  const std::string filler = "k=v\n#" + std::string((1 << 20) - 6, '#');
  write_file(path, filler + "\n");  // 1 MiB exactly: read
  EXPECT_EQ(read("k", &status), "v");
  EXPECT_EQ(read("other", &status), "<untouched>");
  EXPECT_EQ(status, 1);
  write_file(path, filler + "\n\n");  // one byte more
  EXPECT_EQ(read("k", &status), "<untouched>");
  EXPECT_EQ(status, 2);

  std::filesystem::remove(path);
  std::filesystem::create_symlink("/dev/null", path);  // a device
  EXPECT_EQ(read("k", &status), "<untouched>");
  EXPECT_EQ(status, 2);

  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_EQ(read("k", &status), "<untouched>");
  EXPECT_EQ(status, 2);
}

TEST_F(KeyStore, AFifoInPlaceOfAnyOfItsFilesIsRefusedAtOnce) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(in_child([] {
              std::string value;
              return rkmx_utils::get_reg_key("k", value);
            }),
            2);
  EXPECT_EQ(in_child([] { return rkmx_utils::set_reg_key("k", "v"); }), 2);

  std::filesystem::remove(path);
  std::filesystem::remove(path + ".lock");
  ASSERT_EQ(::mkfifo((path + ".lock").c_str(), 0600), 0);
  EXPECT_EQ(in_child([] { return rkmx_utils::set_reg_key("k", "v"); }), 5);
  EXPECT_FALSE(std::filesystem::exists(path));

  ASSERT_EQ(::mkfifo(dir.file("product_serial").c_str(), 0600), 0);
  const int serial = in_child([] {
    std::string value;
    return rkmx_utils::get_serial_number(value);
  });
  EXPECT_TRUE(serial != 0 && serial != kNoExit) << serial;
}

// A link at the lock is refused; the store may be a link, which is read
// through and replaced, its target left alone.
TEST_F(KeyStore, ALinkAtTheLockIsRefusedAndALinkAtTheStoreReplacedNotWrittenThrough) {
  const std::string target = dir.file("target.conf");
  write_file(target, "a=1\n");
  std::filesystem::create_symlink(target, path);
  const std::string planted = dir.file("created-through-the-link");
  std::filesystem::create_symlink(planted, path + ".lock");
  EXPECT_EQ(rkmx_utils::set_reg_key("a", "2"), 5);
  EXPECT_FALSE(std::filesystem::exists(planted));

  std::filesystem::remove(path + ".lock");
  EXPECT_EQ(read("a"), "1");
  ASSERT_EQ(rkmx_utils::set_reg_key("a", "2"), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(read_file(path), "a=2\n");
  EXPECT_EQ(read_file(target), "a=1\n");
}

TEST_F(KeyStore, AWriterRemovesOnlyTheStaleTemporaryFilesOfItsOwnStore) {
  write_file(path, "a=1\n");
  const std::string stale = path + ".tmp.Ab12cD";
  const std::string fresh = path + ".tmp.Xy34zW";
  const std::string otherStore = dir.file("other.conf.tmp.Ab12cD");
  const std::string longer = path + ".tmp.Ab12cDe";
  const std::string shorter = path + ".tmp.Ab12c";
  const std::string link = path + ".tmp.Lk56mN";
  for (const std::string& name : {stale, fresh, otherStore, longer, shorter}) {
    write_file(name, "sTarnelCID=v1$x\n");
  }
  std::filesystem::create_symlink(otherStore, link);
  for (const std::string& name : {stale, otherStore, longer, shorter, link}) age(name, 120);
  ASSERT_EQ(rkmx_utils::set_reg_key("a", "2"), 0);
  EXPECT_EQ(names(), (std::set<std::string>{"keystore.conf", "keystore.conf.lock",
                                            "keystore.conf.tmp.Xy34zW", "other.conf.tmp.Ab12cD",
                                            "keystore.conf.tmp.Ab12cDe", "keystore.conf.tmp.Ab12c",
                                            "keystore.conf.tmp.Lk56mN"}));
}

// A write that fails part way (here the file size limit) leaves the store
// byte for byte as it was.
TEST_F(KeyStore, AFailedWriteLeavesTheStoreAsItWasAndNoTemporaryFile) {
  const std::string before = "sTarnelCluster=alpha\nsTarnelCID=v1$20000$c2FsdA==\n";
  write_file(path, before);
  const int status = in_child([] {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {64, 64};  // beyond the old store, short of the new one
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return rkmx_utils::set_reg_key("sTarnelSerial", std::string(4096, 'S'));
  });
  EXPECT_EQ(status, 5);
  EXPECT_EQ(read_file(path), before);
  EXPECT_EQ(names(), (std::set<std::string>{"keystore.conf", "keystore.conf.lock"}));
}

// A failure of the system that a read or write meets leaves its cause in
// errno. Each row runs in a child that first brings the failure about.
TEST_F(KeyStore, AFailureOfTheSystemLeavesItsCauseInErrno) {
  write_file(path, "a=1\n");
  const std::string mount = dir.file("mnt");
  std::filesystem::create_directory(mount);
  const auto tmpfs = [&mount](unsigned long flags) -> std::function<bool()> {
    return [&mount, flags] {
      ::setenv("TARNEL_KEYSTORE", (mount + "/keystore.conf").c_str(), 1);
      return ::unshare(CLONE_NEWNS) == 0 &&
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             ::mount("tmpfs", mount.c_str(), "tmpfs", flags, "size=4k") == 0;
    };
  };
  const auto limit = [](int resource, rlim_t value) -> std::function<bool()> {
    return [resource, value] {
      ::signal(SIGXFSZ, SIG_IGN);
      const struct rlimit tight = {value, value};
      return ::setrlimit(resource, &tight) == 0;
    };
  };
  const int lowestFree = ::dup(STDIN_FILENO);
  ::close(lowestFree);
  const struct {
    const char* failure;
    std::function<bool()> bring_about;
    bool write;
    int cause;
  } cases[] = {
      {"out of descriptors", limit(RLIMIT_NOFILE, static_cast<rlim_t>(lowestFree)), false, EMFILE},
      {"past the file size limit", limit(RLIMIT_FSIZE, 64), true, EFBIG},
      {"read-only file system", tmpfs(MS_RDONLY), true, EROFS},
      {"full file system", tmpfs(0), true, ENOSPC},
  };
  constexpr int kCannotBringAbout = 200;
  std::string skipped;
  for (const auto& row : cases) {
    const int cause = in_child([&row] {
      if (!row.bring_about()) return kCannotBringAbout;
      std::string value;
      const int status = row.write ? rkmx_utils::set_reg_key("a", std::string(8192, 'v'))
                                   : rkmx_utils::get_reg_key("a", value);
      return status == (row.write ? 5 : 2) ? errno : 100 + status;
    });
    if (cause == kCannotBringAbout) {
      skipped += std::string(" ") + row.failure;
    } else {
      EXPECT_EQ(cause, row.cause) << row.failure;
    }
  }
  if (!skipped.empty()) GTEST_SKIP() << "this machine cannot bring about:" << skipped;
}

TEST_F(KeyStore, AWriterGivesUpOnALockHeldByAnotherAndChangesNothing) {
  write_file(path, "a=1\n");
  tarnel_host::UniqueFd held(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(held.valid());
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(in_child([] { return rkmx_utils::set_reg_key("a", "2"); }, 60000), 4);
  EXPECT_GE(elapsed_ms(start), 5000.0);  // the documented wait
  EXPECT_EQ(read_file(path), "a=1\n");
}

// Readers keep the text they read last; a change must still be seen by the
// very next read, even one that leaves the size alone and comes within the
// same tick of the file system's clock.
TEST_F(KeyStore, AnInPlaceRewriteIsSeenAtOnce) {
  for (int i = 0; i < 50; ++i) {
    write_file(path, "k=" + std::to_string(i % 10) + "\n");
    EXPECT_EQ(read("k"), std::to_string(i % 10));
  }
}

// Counts the opens of one file (inotify IN_OPEN).
class OpenCounter {
 public:
  explicit OpenCounter(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    watching_ = fd_.valid() && ::inotify_add_watch(fd_.get(), path.c_str(), IN_OPEN) >= 0;
  }
  bool watching() const { return watching_; }
  // The opens since the last call. Call it after each open to be counted:
  // the kernel merges an event with an identical one not yet read.
  int take() {
    int opens = 0;
    alignas(struct inotify_event) char buffer[4096];
    for (ssize_t got; (got = ::read(fd_.get(), buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        opens += (event->mask & IN_OPEN) != 0;
        at += static_cast<ssize_t>(sizeof *event + event->len);
      }
    }
    return opens;
  }

 private:
  tarnel_host::UniqueFd fd_;
  bool watching_ = false;
};

TEST_F(KeyStore, ASettledStoreIsReusedUntilItChangesOrAnotherIsNamed) {
  write_file(path, "k=1\n");
  const std::string other = dir.file("other.conf");
  write_file(other, "k=9\n");
  OpenCounter opens(path);
  ASSERT_TRUE(opens.watching());
  const auto opensOfReads = [&](const char* expected) {
    int count = 0;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(read("k"), expected);
      count += opens.take();
    }
    return count;
  };
  // A store changed less than 2 s before a read is read again every time.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  opens.take();
  EXPECT_EQ(opensOfReads("1"), 1);
  write_file(path, "k=2\n");  // in place, the same size
  opens.take();
  EXPECT_EQ(opensOfReads("2"), 3);
  {
    ScopedEnv elsewhere("TARNEL_KEYSTORE", other);
    EXPECT_EQ(read("k"), "9");
  }
  EXPECT_EQ(read("k"), "2");
  ASSERT_EQ(rkmx_utils::set_reg_key("k", "3"), 0);  // replaced by a rename
  EXPECT_EQ(read("k"), "3");
  std::filesystem::remove(path);
  int status = 0;
  EXPECT_EQ(read("k", &status), "<untouched>");
  EXPECT_EQ(status, 2);
}

TEST_F(KeyStore, TheEnvironmentWinsForTheLogDirectoryAndDebugLevel) {
  write_file(path, "sTarnelLogDir=/from/store\ndTarnelDebugLevel=1\nsTarnelCluster=alpha\n");
  EXPECT_EQ(read("sTarnelLogDir"), "/from/store");
  EXPECT_EQ(read("dTarnelDebugLevel"), "1");
  {
    ScopedEnv dir_from_env("TARNEL_LOG_DIR", std::string("/from/env"));
    ScopedEnv level_from_env("TARNEL_DEBUG_LEVEL", std::string("-1"));
    EXPECT_EQ(read("sTarnelLogDir"), "/from/env");
    EXPECT_EQ(read("dTarnelDebugLevel"), "-1");
    EXPECT_EQ(read("sTarnelCluster"), "alpha");
    std::filesystem::remove(path);
    int status = -1;
    EXPECT_EQ(read("sTarnelLogDir", &status), "/from/env");
    EXPECT_EQ(status, 0);
  }
  write_file(path, "sTarnelLogDir=/from/store\n");
  ScopedEnv emptyEnv("TARNEL_LOG_DIR", std::string());
  EXPECT_EQ(read("sTarnelLogDir"), "/from/store");
}

TEST_F(KeyStore, WritingCreatesTheStoreReadableByItsOwnerOnly) {
  ASSERT_EQ(rkmx_utils::set_reg_key("sTarnelCluster", "alpha"), 0);
  EXPECT_EQ(read_file(path), "sTarnelCluster=alpha\n");
  EXPECT_EQ(mode(), 0600u);
  EXPECT_EQ(read("sTarnelCluster"), "alpha");
}

TEST_F(KeyStore, WritingReplacesInPlaceKeepsEverythingElseAndLeavesNoTemporaryFile) {
  write_file(path,
             "# provisioned\n"
             "sTarnelCluster=old\n"
             "junk line\n"
             "sTarnelSerial=S1\n"
             "sTarnelCluster=older duplicate\n"
             "dEnableCurlTraceLogging=0");
  ::chmod(path.c_str(), 0644);
  ASSERT_EQ(rkmx_utils::set_reg_key("sTarnelCluster", " new = value # kept "), 0);
  ASSERT_EQ(rkmx_utils::set_reg_key("sTarnelCID", "v1$20000$c2FsdA=="), 0);
  EXPECT_EQ(read_file(path),
            "# provisioned\n"
            "sTarnelCluster= new = value # kept \n"
            "junk line\n"
            "sTarnelSerial=S1\n"
            "dEnableCurlTraceLogging=0\n"
            "sTarnelCID=v1$20000$c2FsdA==\n");
  EXPECT_EQ(mode(), 0600u);
  EXPECT_EQ(read("sTarnelCluster"), " new = value # kept ");
  EXPECT_EQ(read("sTarnelCID"), "v1$20000$c2FsdA==");
  EXPECT_EQ(names(), (std::set<std::string>{"keystore.conf", "keystore.conf.lock"}));
}

TEST_F(KeyStore, WritingRefusesTextsTheStoreCannotHoldAndChangesNothing) {
  write_file(path, "a=1\n");
  for (const char* key : {"", "k=v", " k", "k ", "#k", "k\nx", "k\rx"}) {
    EXPECT_EQ(rkmx_utils::set_reg_key(key, "v"), 3) << key;
  }
  EXPECT_EQ(rkmx_utils::set_reg_key("k", "two\nlines"), 3);
  EXPECT_EQ(rkmx_utils::set_reg_key("k", "cr\r"), 3);
  EXPECT_EQ(rkmx_utils::set_reg_key("k", std::string("nul\0byte", 8)), 3);
  EXPECT_EQ(read_file(path), "a=1\n");
}

TEST_F(KeyStore, WritingCreatesTheDirectoryButNeverReplacesAStoreItCannotRead) {
  const std::string nested = dir.file("etc-tarnel/keystore.conf");
  {
    ScopedEnv in_new_directory("TARNEL_KEYSTORE", nested);
    ASSERT_EQ(rkmx_utils::set_reg_key("sTarnelCluster", "alpha"), 0);
    EXPECT_EQ(read("sTarnelCluster"), "alpha");
  }
  EXPECT_EQ(read_file(nested), "sTarnelCluster=alpha\n");

  std::filesystem::create_directory(path);  // unreadable as a file
  EXPECT_EQ(rkmx_utils::set_reg_key("sTarnelCluster", "beta"), 2);
  EXPECT_TRUE(std::filesystem::is_directory(path));

  ScopedEnv deep("TARNEL_KEYSTORE", dir.file("missing/parent/keystore.conf"));
  EXPECT_EQ(rkmx_utils::set_reg_key("sTarnelCluster", "gamma"), 5);
}

TEST_F(KeyStore, ReadersDuringWritesSeeTheOldOrTheNewStoreWhole) {
  const std::string valueA(200, 'A');
  const std::string valueB(200, 'B');
  ASSERT_EQ(rkmx_utils::set_reg_key("stable", "kept"), 0);
  ASSERT_EQ(rkmx_utils::set_reg_key("flip", valueA), 0);

  std::atomic<bool> writing{true};
  std::atomic<int> reads{0};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (writing.load()) {
        std::string flip, stable;
        const int flipStatus = rkmx_utils::get_reg_key("flip", flip);
        const int stableStatus = rkmx_utils::get_reg_key("stable", stable);
        if (flipStatus != 0 || stableStatus != 0 || stable != "kept" ||
            (flip != valueA && flip != valueB)) {
          bad.fetch_add(1);
        }
        reads.fetch_add(1);
      }
    });
  }
  std::thread writer([&] {
    for (int i = 0; i < 60; ++i) {
      if (rkmx_utils::set_reg_key("flip", i % 2 ? valueA : valueB) != 0) bad.fetch_add(1);
    }
    writing.store(false);
  });
  writer.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(mode(), 0600u);
}

TEST_F(KeyStore, ClusterNameComesFromTheStoreAndMustNotBeEmpty) {
  EXPECT_EQ(query(rkmx_utils::get_tarnel_cluster), kFailed);
  write_file(path, "sTarnelCluster=\n");
  EXPECT_EQ(query(rkmx_utils::get_tarnel_cluster), kFailed);
  write_file(path, "sTarnelCluster=cluster-7\n");
  EXPECT_EQ(query(rkmx_utils::get_tarnel_cluster), "cluster-7");
}

TEST_F(KeyStore, SerialNumberComesFromTheStoreThenFromTheDmiSerial) {
  EXPECT_EQ(query(rkmx_utils::get_serial_number), kFailed);  // neither source exists
  write_file(dir.file("product_serial"), " \t\n");
  EXPECT_EQ(query(rkmx_utils::get_serial_number), kFailed);
  write_file(dir.file("product_serial"), "  DMI-SN 42 \n");
  EXPECT_EQ(query(rkmx_utils::get_serial_number), "DMI-SN 42");
  write_file(path, "sTarnelSerial=\n");  // empty in the store: the DMI serial
  EXPECT_EQ(query(rkmx_utils::get_serial_number), "DMI-SN 42");
  write_file(path, "sTarnelSerial=Store-SN\n");
  EXPECT_EQ(query(rkmx_utils::get_serial_number), "Store-SN");
}

TEST(HostIdentity, HostNameIsTheKernelsNodeName) {
  struct utsname names {};
  ASSERT_EQ(::uname(&names), 0);
  EXPECT_EQ(rkmx_utils::get_hostname(), names.nodename);
}

TEST(Conversions, StringToUintAcceptsPlainDecimalOnly) {
  EXPECT_EQ(rkmx_utils::string_to_uint("0"), 0u);
  EXPECT_EQ(rkmx_utils::string_to_uint("1"), 1u);
  EXPECT_EQ(rkmx_utils::string_to_uint("0042"), 42u);
  EXPECT_EQ(rkmx_utils::string_to_uint("4294967295"), 4294967295u);
  for (const char* text : {"", "4294967296", "99999999999999999999", "-1", "+1", " 1", "1 ", "1a",
                           "0x10", "1.5", "1\n"}) {
    EXPECT_EQ(rkmx_utils::string_to_uint(text), 0u) << '"' << text << '"';
  }
}

TEST(Conversions, SizesConvertToGigabytesWithBinaryFactors) {
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(1073741824.0, "B"), 1.0);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(1048576.0, "KB"), 1.0);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(2048.0, "MiB"), 2.0);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(3.5, "GB"), 3.5);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(2.0, "tb"), 2048.0);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(1.5, "TiB"), 1536.0);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(1.0, "Pb"), 1048576.0);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(1.0, "pib"), 1048576.0);
  EXPECT_DOUBLE_EQ(rkmx_utils::convert_size_to_gb(4.0, " GB "), 4.0);
  for (const char* unit : {"", "XB", "EB", "G", "gigabytes", "K B"}) {
    EXPECT_EQ(rkmx_utils::convert_size_to_gb(5.0, unit), 0.0) << unit;
  }
}

TEST(Sleep, ScaledPauseLastsAtLeastTheScaledTime) {
  ScopedEnv scale("TARNEL_SLEEP_SCALE", std::string("0.001"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ZUSLEEP_InTeRnAl(25000, __FILE__, __LINE__), 0);
  EXPECT_GE(elapsed_ms(start), 25.0);
  EXPECT_EQ(ZUSLEEP_InTeRnAl(0, __FILE__, __LINE__), 0);
  EXPECT_EQ(ZUSLEEP_InTeRnAl(-5, __FILE__, __LINE__), 0);
}

TEST(Sleep, AnUnusableScaleIsIgnored) {
  for (const char* text : {"abc", "-1", "0.5x", "nan", "1e9"}) {
    ScopedEnv scale("TARNEL_SLEEP_SCALE", std::string(text));
    auto start = std::chrono::steady_clock::now();
    ZUSLEEP_InTeRnAl(10, __FILE__, __LINE__);
    EXPECT_GE(elapsed_ms(start), 10.0) << text;
  }
}

void ignore_signal(int) {}

TEST(Sleep, SignalsDoNotShortenThePause) {
  ScopedEnv scale("TARNEL_SLEEP_SCALE", std::nullopt);
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = ignore_signal;  // no SA_RESTART: every signal interrupts the sleep
  ::sigaction(SIGUSR1, &action, &previous);

  const pthread_t sleeper = ::pthread_self();
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  std::thread interrupter([&] {
    while (!done.load()) {
      ::pthread_kill(sleeper, SIGUSR1);
      sent.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto start = std::chrono::steady_clock::now();
  ZUSLEEP_InTeRnAl(120, __FILE__, __LINE__);
  const double elapsed = elapsed_ms(start);
  done.store(true);
  interrupter.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GE(elapsed, 120.0);
  EXPECT_GT(sent.load(), 1);
}

}  // namespace
