#include "cluster_state.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <random>
#include <stdexcept>
#include <utility>

#include "RkJson.h"
#include "posix_io.h"

namespace tarnel_sim {

namespace {

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

// The member `key` of `params` when it is a string or a word.
const RequestValue* scalar(const RequestValue* params, std::string_view key) {
  if (params == nullptr) return nullptr;
  const RequestValue* value = params->find(key);
  return value != nullptr && value->is_scalar() ? value : nullptr;
}

Reply missing(const std::string& what) {
  return error_reply(400, "MissingParameter", "the request needs " + what);
}

Reply invalid(const std::string& what) { return error_reply(400, "InvalidParameter", what); }

Reply state_not_saved() {
  return error_reply(500, "StateNotSaved", "the state file could not be written");
}

// A finite number written in plain decimal notation (as from_chars reads it).
bool parse_number(const std::string& text, double& out) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, out);
  return !text.empty() && result.ec == std::errc() && result.ptr == end && std::isfinite(out);
}

std::string random_session_id() {
  static const char kHex[] = "0123456789abcdef";
  std::random_device device;
  std::string id;
  for (int word = 0; word < 4; ++word) {
    uint32_t bits = device();
    for (int digit = 0; digit < 8; ++digit) {
      id += kHex[bits & 0xf];
      bits >>= 4;
    }
  }
  return id;
}

mObject capacity_object(double value, const std::string& units) {
  mObject object;
  object["units"] = units;
  object["value"] = value;
  return object;
}

const std::string& string_member(const mObject& object, const char* key, const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end() || found->second.type() != json_spirit::str_type) {
    throw std::runtime_error(where + ": \"" + key + "\" must be a string");
  }
  return found->second.get_str();
}

}  // namespace

ClusterState::ClusterState(SimConfig config, StateOptions options, Clock clock)
    : config_(std::move(config)), options_(std::move(options)), clock_(std::move(clock)) {
  if (!bytes_per_unit(config_.total.units)) {
    throw std::invalid_argument("unknown capacity unit \"" + config_.total.units + "\"");
  }
  if (!options_.state_file.empty()) load_state_file();
}

Reply ClusterState::execute(RequestType type, const RequestValue& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reply failure;
  if (type != RequestType::Login && !check_session(request, failure)) return failure;
  switch (type) {
    case RequestType::Login:
      return login(request);
    case RequestType::ClusterInformation:
      return cluster_information();
    case RequestType::AddVirtualDisk:
      return add_virtual_disk(request);
    case RequestType::Mount:
      return mount(request);
  }
  return error_reply(400, "UnknownRequest", "unknown request type");
}

Reply ClusterState::login(const RequestValue& request) {
  const RequestValue* params = request.find("params");
  const RequestValue* user = scalar(params, "userName");
  const RequestValue* password = scalar(params, "password");
  const RequestValue* cluster = scalar(params, "cluster");
  if (user == nullptr || password == nullptr || cluster == nullptr) {
    return missing("params with userName, password and cluster");
  }
  if (cluster->text != config_.cluster) {
    return error_reply(401, "UnknownCluster", "this is not the cluster \"" + cluster->text + "\"");
  }
  const auto known = config_.users.find(user->text);
  if (known == config_.users.end() || known->second != password->text) {
    return error_reply(401, "AuthenticationFailed", "wrong user name or password");
  }
  const auto now = clock_();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = now >= it->second.expires ? sessions_.erase(it) : std::next(it);
  }
  std::string id;
  do {
    id = random_session_id();
  } while (sessions_.count(id) != 0);
  sessions_[id] = Session{user->text, now + options_.session_ttl};

  mObject result;
  result["sessionId"] = id;
  Reply reply;
  reply.body["result"] = std::move(result);
  return reply;
}

bool ClusterState::check_session(const RequestValue& request, Reply& failure) {
  const RequestValue* id = scalar(&request, "sessionId");
  if (id == nullptr) {
    failure = error_reply(401, "InvalidSession", "the request has no sessionId");
    return false;
  }
  const auto session = sessions_.find(id->text);
  if (session == sessions_.end()) {
    failure = error_reply(401, "InvalidSession", "unknown session");
    return false;
  }
  if (clock_() >= session->second.expires) {
    sessions_.erase(session);
    failure = error_reply(401, "SessionExpired", "the session has expired");
    return false;
  }
  return true;
}

Reply ClusterState::cluster_information() const {
  const double unit = *bytes_per_unit(config_.total.units);
  mObject capacity;
  capacity["total"] = capacity_object(config_.total.value, config_.total.units);
  capacity["allocated"] = capacity_object(allocated_bytes(disks_) / unit, config_.total.units);
  mObject result;
  result["capacity"] = std::move(capacity);
  Reply reply;
  reply.body["result"] = std::move(result);
  return reply;
}

Reply ClusterState::add_virtual_disk(const RequestValue& request) {
  const RequestValue* params = request.find("params");
  if (params == nullptr || !params->is_object()) return missing("params");
  Disk disk;
  if (std::optional<Reply> failure = read_disk(*params, disk)) return std::move(*failure);
  if (std::optional<Reply> failure = refuse_disk(disk)) return std::move(*failure);

  std::vector<Disk> disks = disks_;
  disks.push_back(disk);
  if (!persist(disks, mounts_)) return state_not_saved();
  disks_ = std::move(disks);

  mObject record;
  record["name"] = disk.name;
  record["status"] = "ok";
  Reply reply;
  reply.body["result"] = mArray{mValue(std::move(record))};
  return reply;
}

std::optional<Reply> ClusterState::read_disk(const RequestValue& params, Disk& disk) {
  const RequestValue* name = scalar(&params, "name");
  if (name == nullptr) return missing("params.name");
  if (name->text.empty()) return invalid("the disk name is empty");
  disk.name = name->text;

  struct TextParam {
    const char* key;
    std::string* target;
  };
  const TextParam texts[] = {{"protectionPolicy", &disk.protection_policy},
                             {"erasureConfig", &disk.erasure_config},
                             {"backupType", &disk.backup_type},
                             {"diskType", &disk.disk_type}};
  for (const TextParam& text : texts) {
    const RequestValue* value = scalar(&params, text.key);
    if (value == nullptr) return missing(std::string("params.") + text.key);
    if (value->text.empty()) return invalid(std::string("params.") + text.key + " is empty");
    *text.target = value->text;
  }
  const RequestValue* scsi3pr = scalar(&params, "scsi3pr");
  if (scsi3pr == nullptr) return missing("params.scsi3pr");
  if (scsi3pr->text != "true" && scsi3pr->text != "false") {
    return invalid("params.scsi3pr must be true or false");
  }
  disk.scsi3pr = scsi3pr->text == "true";
  return read_disk_size(params, disk);
}

std::optional<Reply> ClusterState::read_disk_size(const RequestValue& params, Disk& disk) {
  const RequestValue* size = params.find("size");
  if (size == nullptr || !size->is_object()) return missing("params.size with unit and value");
  const RequestValue* unit = scalar(size, "unit");
  const RequestValue* value = scalar(size, "value");
  if (unit == nullptr || value == nullptr) return missing("params.size with unit and value");
  if (!bytes_per_unit(unit->text)) return invalid("unknown size unit \"" + unit->text + "\"");
  if (!parse_number(value->text, disk.size_value) || disk.size_value <= 0) {
    return invalid("the size must be a positive number, not \"" + value->text + "\"");
  }
  disk.size_unit = unit->text;
  return std::nullopt;
}

std::optional<Reply> ClusterState::refuse_disk(const Disk& disk) const {
  const bool exists = std::any_of(disks_.begin(), disks_.end(),
                                  [&disk](const Disk& other) { return other.name == disk.name; });
  if (exists) {
    return error_reply(409, "DuplicateVirtualDisk",
                       "a virtual disk named \"" + disk.name + "\" exists");
  }
  if (options_.strict_capacity) {
    const double total = config_.total.value * *bytes_per_unit(config_.total.units);
    const double size = disk.size_value * *bytes_per_unit(disk.size_unit);
    if (allocated_bytes(disks_) + size > total) {
      return error_reply(507, "InsufficientCapacity", "the size exceeds the capacity left");
    }
  }
  return std::nullopt;
}

Reply ClusterState::mount(const RequestValue& request) {
  const RequestValue* params = request.find("params");
  if (params == nullptr || !params->is_object()) return missing("params");
  const RequestValue* disk = scalar(params, "virtualDisk");
  if (disk == nullptr) return missing("params.virtualDisk");
  const RequestValue* targets = params->find("targets");
  if (targets == nullptr || !targets->is_list()) return missing("params.targets as a list");
  if (targets->items.empty()) return invalid("params.targets is empty");
  for (const RequestValue& target : targets->items) {
    if (!target.is_scalar()) return invalid("each target must be a host name");
  }
  const bool known = std::any_of(disks_.begin(), disks_.end(),
                                 [disk](const Disk& other) { return other.name == disk->text; });
  if (!known) {
    return error_reply(404, "UnknownVirtualDisk", "no virtual disk named \"" + disk->text + "\"");
  }

  std::vector<Mount> mounts = mounts_;
  mArray records;
  for (const RequestValue& target : targets->items) {
    const bool mounted = std::any_of(mounts.begin(), mounts.end(), [&](const Mount& other) {
      return other.disk == disk->text && other.target == target.text;
    });
    if (!mounted) mounts.push_back(Mount{disk->text, target.text});
    mObject record;
    record["status"] = "ok";
    record["target"] = target.text;
    records.push_back(std::move(record));
  }
  if (mounts.size() != mounts_.size()) {
    if (!persist(disks_, mounts)) return state_not_saved();
    mounts_ = std::move(mounts);
  }
  Reply reply;
  reply.body["result"] = std::move(records);
  return reply;
}

double ClusterState::allocated_bytes(const std::vector<Disk>& disks) const {
  double bytes = 0;
  for (const Disk& disk : disks)
    bytes += disk.size_value * bytes_per_unit(disk.size_unit).value_or(0);
  return bytes;
}

void ClusterState::expire_session(const RequestValue& request) {
  const RequestValue* id = scalar(&request, "sessionId");
  if (id == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id->text);
}

void ClusterState::expire_all_sessions() {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.clear();
}

bool ClusterState::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!persist({}, {})) return false;
  disks_.clear();
  mounts_.clear();
  sessions_.clear();
  log_.clear();
  log_dropped_ = 0;
  return true;
}

void ClusterState::record(LogEntry entry) {
  mObject object;
  std::lock_guard<std::mutex> lock(mutex_);
  object["seq"] = static_cast<int64_t>(next_seq_++);
  object["method"] = std::move(entry.method);
  object["request"] = std::move(entry.request);
  object["text"] = std::move(entry.text);
  object["status"] = entry.status;
  if (!entry.fault.empty()) object["fault"] = std::move(entry.fault);
  if (!entry.error.empty()) object["error"] = std::move(entry.error);
  log_.push_back(std::move(object));
  if (log_.size() > kLogCapacity) {
    log_.pop_front();
    ++log_dropped_;
  }
}

json_spirit::mObject ClusterState::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  mObject state;
  state["cluster"] = config_.cluster;
  mObject capacity;
  capacity["total"] = capacity_object(config_.total.value, config_.total.units);
  capacity["allocated"] = capacity_object(
      allocated_bytes(disks_) / *bytes_per_unit(config_.total.units), config_.total.units);
  state["capacity"] = std::move(capacity);
  state["strictCapacity"] = options_.strict_capacity;
  put_disks_and_mounts(disks_, mounts_, state);
  const auto now = clock_();
  const auto active = std::count_if(sessions_.begin(), sessions_.end(), [now](const auto& session) {
    return now < session.second.expires;
  });
  state["sessions"] = static_cast<int64_t>(active);
  mArray requests(log_.begin(), log_.end());
  state["requests"] = std::move(requests);
  state["requestsDropped"] = static_cast<int64_t>(log_dropped_);
  return state;
}

bool ClusterState::persist(const std::vector<Disk>& disks, const std::vector<Mount>& mounts) const {
  if (options_.state_file.empty()) return true;
  mObject root;
  root["version"] = 1;
  put_disks_and_mounts(disks, mounts, root);
  std::string text = body_text(root);
  text += '\n';

  return tarnel_host::atomic_replace(options_.state_file, text) == 0;
}

void ClusterState::put_disks_and_mounts(const std::vector<Disk>& disks,
                                        const std::vector<Mount>& mounts, mObject& into) {
  mArray disk_list;
  for (const Disk& disk : disks) {
    mObject size;
    size["unit"] = disk.size_unit;
    size["value"] = disk.size_value;
    mObject object;
    object["name"] = disk.name;
    object["size"] = std::move(size);
    object["protectionPolicy"] = disk.protection_policy;
    object["erasureConfig"] = disk.erasure_config;
    object["backupType"] = disk.backup_type;
    object["diskType"] = disk.disk_type;
    object["scsi3pr"] = disk.scsi3pr;
    disk_list.push_back(std::move(object));
  }
  into["disks"] = std::move(disk_list);
  mArray mount_list;
  for (const Mount& mount : mounts) {
    mObject object;
    object["virtualDisk"] = mount.disk;
    object["target"] = mount.target;
    mount_list.push_back(std::move(object));
  }
  into["mounts"] = std::move(mount_list);
}

void ClusterState::load_state_file() {
  const std::string& path = options_.state_file;
  std::string text;
  const int error = tarnel_host::read_regular_file(path, kMaxFileBytes, text);
  if (error == ENOENT) return;  // first start
  if (error != 0) {
    throw std::runtime_error("cannot read the state file " + path + ": " +
                             tarnel_host::error_text(error));
  }
  mObject root;
  if (!RkJson::Unserialize(text, root)) {
    throw std::runtime_error("the state file " + path + " is not a JSON object");
  }
  const std::string where = "state file " + path;
  const auto disks = root.find("disks");
  const auto mounts = root.find("mounts");
  if (disks == root.end() || disks->second.type() != json_spirit::array_type ||
      mounts == root.end() || mounts->second.type() != json_spirit::array_type) {
    throw std::runtime_error(where + ": \"disks\" and \"mounts\" must be lists");
  }
  for (const mValue& entry : disks->second.get_array()) {
    disks_.push_back(read_stored_disk(entry, where));
  }
  for (const mValue& entry : mounts->second.get_array()) {
    if (entry.type() != json_spirit::obj_type)
      throw std::runtime_error(where + ": a mount is not an object");
    const mObject& object = entry.get_obj();
    mounts_.push_back(
        Mount{string_member(object, "virtualDisk", where), string_member(object, "target", where)});
  }
}

ClusterState::Disk ClusterState::read_stored_disk(const mValue& entry, const std::string& where) {
  if (entry.type() != json_spirit::obj_type) {
    throw std::runtime_error(where + ": a disk is not an object");
  }
  const mObject& object = entry.get_obj();
  Disk disk;
  disk.name = string_member(object, "name", where);
  disk.protection_policy = string_member(object, "protectionPolicy", where);
  disk.erasure_config = string_member(object, "erasureConfig", where);
  disk.backup_type = string_member(object, "backupType", where);
  disk.disk_type = string_member(object, "diskType", where);
  const auto scsi3pr = object.find("scsi3pr");
  const auto size = object.find("size");
  if (scsi3pr == object.end() || scsi3pr->second.type() != json_spirit::bool_type ||
      size == object.end() || size->second.type() != json_spirit::obj_type) {
    throw std::runtime_error(where + ": disk \"" + disk.name + "\" needs scsi3pr and size");
  }
  disk.scsi3pr = scsi3pr->second.get_bool();
  const mObject& size_object = size->second.get_obj();
  disk.size_unit = string_member(size_object, "unit", where);
  const auto value = size_object.find("value");
  if (!bytes_per_unit(disk.size_unit) || value == size_object.end() ||
      (value->second.type() != json_spirit::int_type &&
       value->second.type() != json_spirit::real_type)) {
    throw std::runtime_error(where + ": disk \"" + disk.name + "\" has an invalid size");
  }
  disk.size_value = value->second.get_real();
  return disk;
}

}  // namespace tarnel_sim
