// Facade construction: the host queries in their order, the credentials each
// constructor gathers, the one failure message and the readiness it leaves.
//
// Readiness has no accessor: a ready facade answers a disk command by logging
// in, a facade that is not ready refuses it without a single call. The
// credentials a facade holds are read from the Login request it sends, and
// its host name from the target of an export.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <locale>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "RkException.h"
#include "fake_host.h"
#include "tarnel_admin.h"
#include "unit_test_support.h"

using ::testing::HasSubstr;
using namespace unit_test;

namespace {

const char kEncrypted[] = "v1$20000$c2FsdGl2Y2lwaGVydGFn";

// Calls to the identity, key store, codec and platform services, in order.
std::vector<std::string> host_calls() {
  std::vector<std::string> calls;
  for (const std::string& line : fake::journal()) {
    if (line.rfind("rkmx_utils::", 0) == 0 || line.rfind("RKPassword::", 0) == 0 ||
        line.rfind("RKPlatformInfo::", 0) == 0) {
      calls.push_back(line);
    }
  }
  return calls;
}

const std::vector<std::string> kDefaultCalls = {
    "RKPlatformInfo::RKPlatformInfo()",
    "rkmx_utils::get_hostname()",
    "rkmx_utils::get_tarnel_cluster()",
    "rkmx_utils::get_reg_key(sTarnelCID)",
    "rkmx_utils::get_serial_number()",
    "RKPassword::RKPassword()",
    "RKPassword::decrypt()",
    "RKPassword::~RKPassword()",
    "RKPlatformInfo::~RKPlatformInfo()",
};

const std::vector<std::string> kCredentialCalls = {
    "RKPlatformInfo::RKPlatformInfo()",
    "rkmx_utils::get_hostname()",
    "rkmx_utils::get_tarnel_cluster()",
    "RKPlatformInfo::~RKPlatformInfo()",
};

// The first `count` calls of `calls`, then the platform object's end.
std::vector<std::string> calls_up_to(const std::vector<std::string>& calls, size_t count) {
  std::vector<std::string> prefix(calls.begin(), calls.begin() + count);
  prefix.push_back("RKPlatformInfo::~RKPlatformInfo()");
  return prefix;
}

// True when the facade accepts a disk command. Clears the records first; with
// nothing scripted every login of a ready facade fails.
bool accepts_disk_commands(tarnel_admin& admin) {
  fake::journal().clear();
  fake::log_lines().clear();
  fake::http_script().clear();
  EXPECT_EQ(admin.create_vdisk("probe"), -1);
  return !fake::journal().empty();
}

// The Login request the facade sends with the credentials it holds.
std::string login_request_of(tarnel_admin& admin) {
  fake::http_script().clear();
  fake::http_clients().clear();
  queue_login("S1");
  std::string session_id;
  EXPECT_EQ(admin.get_tarnel_session(session_id), 0);
  return fake::sent_requests().empty() ? std::string() : fake::sent_requests().front();
}

// The Mount request of an export through a ready facade.
std::string export_request_of(tarnel_admin& admin) {
  fake::http_script().clear();
  fake::http_clients().clear();
  queue_login("S1");
  admin.export_vdisk("vd1");
  return fake::sent_requests().size() < 2 ? std::string() : fake::sent_requests()[1];
}

class Construction : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    fake::utils_script().keys["sTarnelCID"] = fake::status(0, kEncrypted);
  }
};

}  // namespace

// ---- node credentials ----

TEST_F(Construction, NodeCredentialsAreGatheredInOrderWithoutAnyLogLine) {
  tarnel_admin admin;
  EXPECT_EQ(host_calls(), kDefaultCalls);
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_EQ(login_request_of(admin), login_text("TarnelAdmin", "secret", "cluster1"));
  EXPECT_TRUE(accepts_disk_commands(admin));
}

TEST_F(Construction, PasswordIsDecryptedIntoAZeroed1024ByteBufferWithTheLowerCasedSerial) {
  fake::utils_script().serial = fake::status(0, "Node-SN-0042XZ");
  tarnel_admin admin;
  ASSERT_EQ(fake::decrypt_calls().size(), 1u);
  const fake::DecryptCall& call = fake::decrypt_calls()[0];
  EXPECT_EQ(call.input, kEncrypted);
  EXPECT_EQ(call.lengthOnEntry, 1024u);
  EXPECT_TRUE(call.outputZeroedOnEntry);
  EXPECT_EQ(call.key, "node-sn-0042xz");
}

namespace {

// Lower-cases like the classic locale, except that a dotless lower-case i
// (written '!' here) stands for 'I', as in a Turkish locale.
class DotlessICtype : public std::ctype<char> {
 protected:
  char do_tolower(char c) const override {
    return c == 'I' ? '!' : std::ctype<char>::do_tolower(c);
  }
  const char* do_tolower(char* low, const char* high) const override {
    for (; low < high; ++low) *low = do_tolower(*low);
    return high;
  }
};

// Makes `locale` the global locale for its lifetime.
class GlobalLocale {
 public:
  explicit GlobalLocale(const std::locale& locale) : previous_(std::locale::global(locale)) {}
  ~GlobalLocale() { std::locale::global(previous_); }

 private:
  std::locale previous_;
};

}  // namespace

TEST_F(Construction, SerialIsLowerCasedWithTheGlobalLocale) {
  GlobalLocale dotless(std::locale(std::locale::classic(), new DotlessICtype));
  fake::utils_script().serial = fake::status(0, "SERIAL1");
  tarnel_admin admin;
  ASSERT_EQ(fake::decrypt_calls().size(), 1u);
  EXPECT_EQ(fake::decrypt_calls()[0].key, "ser!al1");
}

TEST_F(Construction, PasswordIsTheBufferTextUpToItsFirstNul) {
  fake::decrypt_script().bytes = std::string("pa ss w0rd\0tail\0", 16);
  tarnel_admin admin;
  EXPECT_EQ(login_request_of(admin), login_text("TarnelAdmin", "pa ss w0rd", "cluster1"));
}

TEST_F(Construction, PasswordFillingTheBufferUpToItsLastByteIsTaken) {
  const std::string longest(1023, 'p');
  fake::decrypt_script().bytes = longest + '\0';
  tarnel_admin admin;
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_EQ(login_request_of(admin), login_text("TarnelAdmin", longest, "cluster1"));
  EXPECT_TRUE(accepts_disk_commands(admin));
}

TEST_F(Construction, UserNameIsAlwaysTarnelAdmin) {
  fake::utils_script().keys["sTarnelUser"] = fake::status(0, "someone");
  tarnel_admin admin;
  EXPECT_THAT(login_request_of(admin), HasSubstr("userName:\"TarnelAdmin\""));
}

TEST_F(Construction, EmptyHostNameDoesNotPreventReadiness) {
  fake::utils_script().hostname = "";
  tarnel_admin admin;
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_THAT(export_request_of(admin), HasSubstr("targets:[\"\"]"));
}

TEST_F(Construction, HostNameReadAtConstructionIsTheExportTarget) {
  fake::utils_script().hostname = "node7";
  tarnel_admin admin;
  fake::utils_script().hostname = "elsewhere";
  EXPECT_THAT(export_request_of(admin), HasSubstr("targets:[\"node7\"]"));
}

TEST_F(Construction, PlatformObjectFailingLeavesTheConstructorBeforeAnyQuery) {
  fake::platform_script().throwRkOnConstruct = true;
  EXPECT_THROW(tarnel_admin(), RkException);
  fake::platform_script() = fake::PlatformScript();
  fake::platform_script().throwRuntimeOnConstruct = true;
  EXPECT_THROW(tarnel_admin(), std::runtime_error);
  EXPECT_EQ(host_calls(), (std::vector<std::string>{"RKPlatformInfo::RKPlatformInfo()",
                                                    "RKPlatformInfo::RKPlatformInfo()"}));
  EXPECT_TRUE(fake::log_lines().empty());
}

TEST_F(Construction, OtherExceptionsPassThroughAndThePlatformObjectIsStillDestroyed) {
  fake::utils_script().cluster = fake::status(1, "");
  fake::log_script().throwOnMessage = true;  // the failure line cannot be written
  EXPECT_THROW(tarnel_admin(), std::runtime_error);
  EXPECT_EQ(host_calls(), calls_up_to(kDefaultCalls, 3));
}

namespace {

// One way the default constructor fails, what it logs and what it keeps.
struct DefaultFailure {
  const char* name;
  std::function<void()> script;
  const char* message;
  size_t callsMade;  // of kDefaultCalls before the platform object's end
  const char* clusterKept;
};

void PrintTo(const DefaultFailure& failure, std::ostream* os) { *os << failure.name; }

class DefaultConstructionFailure : public Construction,
                                   public ::testing::WithParamInterface<DefaultFailure> {};

const char kNoCluster[] = "Failed to get cluster name.";
const char kNoPassword[] = "Failed to get cluster password.";
const char kNoSerial[] = "Failed to get cluster key string.";
const char kNotReady[] = "Tarnel admin not ready.";

}  // namespace

TEST_P(DefaultConstructionFailure, LogsOneFailureLineAndLeavesTheFacadeNotReady) {
  fake::log_script().debugLevel = -1;
  GetParam().script();
  tarnel_admin admin;
  EXPECT_EQ(host_calls(), calls_up_to(kDefaultCalls, GetParam().callsMade));
  ASSERT_EQ(fake::log_lines().size(), 1u);
  EXPECT_EQ(fake::log_lines()[0].function, kAdminConstructorTag);
  EXPECT_EQ(fake::log_lines()[0].text, GetParam().message);
  fake::reset();  // the services work again for the session the probes create
  EXPECT_FALSE(accepts_disk_commands(admin));
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_EQ(login_request_of(admin), login_text("TarnelAdmin", "", GetParam().clusterKept));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DefaultConstructionFailure,
    ::testing::Values(
        DefaultFailure{"ClusterStatus",
                       [] { fake::utils_script().cluster = fake::status(1, "cluster1"); },
                       kNoCluster, 3, ""},
        DefaultFailure{"ClusterEmpty", [] { fake::utils_script().cluster = fake::status(0, ""); },
                       kNoCluster, 3, ""},
        DefaultFailure{"PasswordKeyMissing", [] { fake::utils_script().keys.clear(); }, kNoPassword,
                       4, "cluster1"},
        DefaultFailure{
            "PasswordKeyStatus",
            [] { fake::utils_script().keys["sTarnelCID"] = fake::status(2, kEncrypted); },
            kNoPassword, 4, "cluster1"},
        DefaultFailure{"PasswordKeyEmpty",
                       [] { fake::utils_script().keys["sTarnelCID"] = fake::status(0, ""); },
                       kNoPassword, 4, "cluster1"},
        DefaultFailure{"SerialStatus",
                       [] { fake::utils_script().serial = fake::status(1, "SERIAL1"); }, kNoSerial,
                       5, "cluster1"},
        DefaultFailure{"SerialEmpty", [] { fake::utils_script().serial = fake::status(0, ""); },
                       kNoSerial, 5, "cluster1"},
        DefaultFailure{"DecryptReportsFailure", [] { fake::decrypt_script().result = 1; },
                       kNoPassword, 8, "cluster1"},
        DefaultFailure{"DecryptLeavesNoNul",
                       [] { fake::decrypt_script().bytes = std::string(1024, 'x'); }, kNoPassword,
                       8, "cluster1"},
        DefaultFailure{"HostNameThrows", [] { fake::utils_script().hostnameThrowsRk = true; },
                       kNotReady, 2, ""},
        DefaultFailure{"ClusterThrows", [] { fake::utils_script().cluster.throwRk = true; },
                       kNotReady, 3, ""},
        DefaultFailure{"PasswordKeyThrows",
                       [] { fake::utils_script().keys["sTarnelCID"].throwRk = true; }, kNotReady, 4,
                       "cluster1"},
        DefaultFailure{"SerialThrows", [] { fake::utils_script().serial.throwRk = true; },
                       kNotReady, 5, "cluster1"},
        DefaultFailure{"DecryptThrows", [] { fake::decrypt_script().throwRk = true; }, kNotReady, 8,
                       "cluster1"}),
    [](const ::testing::TestParamInfo<DefaultFailure>& step) { return step.param.name; });

// ---- caller's credentials ----

TEST_F(Construction, CallersCredentialsNeedOnlyHostAndClusterName) {
  fake::utils_script().keys.clear();
  tarnel_admin admin("operator", "pw");
  EXPECT_EQ(host_calls(), kCredentialCalls);
  EXPECT_TRUE(fake::log_lines().empty());
  EXPECT_TRUE(fake::decrypt_calls().empty());
  EXPECT_EQ(login_request_of(admin), login_text("operator", "pw", "cluster1"));
  EXPECT_TRUE(accepts_disk_commands(admin));
}

TEST_F(Construction, CallersHostNameIsTheExportTarget) {
  fake::utils_script().hostname = "node7";
  tarnel_admin admin("operator", "pw");
  EXPECT_THAT(export_request_of(admin), HasSubstr("targets:[\"node7\"]"));
}

TEST_F(Construction, EmptyCredentialsAreRefusedBeforeAnyHostQuery) {
  fake::log_script().debugLevel = -1;
  fake::platform_script().throwRkOnConstruct = true;  // would escape if it were created
  const std::vector<std::pair<std::string, std::string>> credentials = {
      {"", "pw"}, {"operator", ""}, {"", ""}};
  for (const auto& [user, password] : credentials) {
    SCOPED_TRACE("user \"" + user + "\", password \"" + password + "\"");
    fake::journal().clear();
    fake::log_lines().clear();
    tarnel_admin admin(user, password);
    EXPECT_TRUE(host_calls().empty());
    ASSERT_EQ(fake::log_lines().size(), 1u);
    EXPECT_EQ(fake::log_lines()[0].function, kAdminConstructorTag);
    EXPECT_EQ(fake::log_lines()[0].text, "Empty username/password provided.");
    EXPECT_FALSE(accepts_disk_commands(admin));
    EXPECT_EQ(login_request_of(admin), login_text(user, password, ""));
  }
}

TEST_F(Construction, CallersCredentialsWithAFailingPlatformObjectThrow) {
  fake::platform_script().throwRkOnConstruct = true;
  EXPECT_THROW(tarnel_admin("operator", "pw"), RkException);
  EXPECT_EQ(host_calls(), std::vector<std::string>{"RKPlatformInfo::RKPlatformInfo()"});
}

namespace {

struct CredentialFailure {
  const char* name;
  std::function<void()> script;
  const char* message;
  size_t callsMade;  // of kCredentialCalls before the platform object's end
};

void PrintTo(const CredentialFailure& failure, std::ostream* os) { *os << failure.name; }

class CredentialConstructionFailure : public Construction,
                                      public ::testing::WithParamInterface<CredentialFailure> {};

}  // namespace

TEST_P(CredentialConstructionFailure, LogsOneFailureLineAndLeavesTheFacadeNotReady) {
  fake::log_script().debugLevel = -1;
  GetParam().script();
  tarnel_admin admin("operator", "pw");
  EXPECT_EQ(host_calls(), calls_up_to(kCredentialCalls, GetParam().callsMade));
  ASSERT_EQ(fake::log_lines().size(), 1u);
  EXPECT_EQ(fake::log_lines()[0].function, kAdminConstructorTag);
  EXPECT_EQ(fake::log_lines()[0].text, GetParam().message);
  fake::reset();  // the services work again for the session the probes create
  EXPECT_FALSE(accepts_disk_commands(admin));
  EXPECT_EQ(login_request_of(admin), login_text("operator", "pw", ""));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CredentialConstructionFailure,
    ::testing::Values(
        CredentialFailure{"ClusterStatus",
                          [] { fake::utils_script().cluster = fake::status(1, "cluster1"); },
                          kNoCluster, 3},
        CredentialFailure{"ClusterEmpty",
                          [] { fake::utils_script().cluster = fake::status(0, ""); }, kNoCluster,
                          3},
        CredentialFailure{"HostNameThrows", [] { fake::utils_script().hostnameThrowsRk = true; },
                          kNotReady, 2},
        CredentialFailure{"ClusterThrows", [] { fake::utils_script().cluster.throwRk = true; },
                          kNotReady, 3}),
    [](const ::testing::TestParamInfo<CredentialFailure>& step) { return step.param.name; });
