// A FileSystem in memory for the spool's tests: any call can be made to fail
// (EIO, ENOSPC, a short write) or to stall, and the power can be cut. Each
// file keeps what it holds now and what the last completed sync made durable;
// the directory keeps its names now and as of its last sync. A power cut keeps
// the durable state and, per file, any prefix of what was written since.
#ifndef MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FAKE_FILE_SYSTEM_H_
#define MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FAKE_FILE_SYSTEM_H_

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "writer/file_system.h"

class FakeFileSystem final : public FileSystem {
 public:
  enum class Call { kOpenDir, kList, kOpen, kWrite, kRead, kTruncate, kSync, kUnlink, kRename };

  struct File {
    std::string now;
    std::string durable;
    // Bytes from durable.size() up to here were covered by a failed sync:
    // the system dropped them, so no later sync makes them durable.
    std::size_t lost_upto = 0;
  };
  // The contents of the directory: name -> bytes.
  using Contents = std::map<std::string, std::string>;

  // Asked before every call with the call and the file's name ("" for the
  // directory): an errno value makes the call fail. For a write, ENOSPC after
  // `short_write` bytes makes a short write.
  std::function<int(Call, const std::string& name)> fault;
  std::size_t short_write = 0;
  // Told after every call that changed something (a test cuts the power there).
  std::function<void(Call, const std::string& name)> after_change;
  std::size_t capacity = SIZE_MAX;  // bytes all files may hold together: ENOSPC past it

  FakeFileSystem() = default;
  // A directory found as `contents`, all of it durable.
  explicit FakeFileSystem(const Contents& contents) {
    for (const auto& [name, bytes] : contents) {
      auto file = std::make_shared<File>(File{bytes, bytes});
      names_[name] = file;
      durable_names_[name] = file;
    }
  }

  Contents now() const {
    Contents contents;
    for (const auto& [name, file] : names_) contents[name] = file->now;
    return contents;
  }

  // The states a power cut right now could leave: the directory's names as of
  // its last sync or as they are now; every file as durable, or every file as
  // now, or one file torn at any byte written since its last sync and the
  // others durable.
  // A file rewritten in place (its size unchanged) is durable or new, never
  // mixed: 12 bytes in one sector.
  std::vector<Contents> power_cut_states() const {
    std::vector<Contents> states;
    for (const auto* names : {&durable_names_, &names_}) {
      for (const bool base_new : {false, true}) {
        Contents base;
        for (const auto& [name, file] : *names) base[name] = base_new ? file->now : file->durable;
        states.push_back(base);
        if (base_new) continue;
        for (const auto& [name, file] : *names) {
          const std::string& d = file->durable;
          const std::string& n = file->now;
          if (d.size() == n.size()) continue;
          std::size_t common = 0;
          while (common < d.size() && common < n.size() && d[common] == n[common]) ++common;
          for (std::size_t cut = common + 1; cut < n.size(); ++cut) {
            Contents torn = base;
            torn[name] = n.substr(0, cut);
            states.push_back(torn);
          }
        }
      }
    }
    return states;
  }

  int open_locked_directory(const std::string&, Handle& dir) override {
    if (int error = ask(Call::kOpenDir, "")) return error;
    dir = kDirectory;
    return 0;
  }

  int list(Handle, std::vector<Entry>& entries) override {
    if (int error = ask(Call::kList, "")) return error;
    entries.clear();
    for (const auto& [name, file] : names_) entries.push_back({name, file->now.size()});
    return 0;
  }

  int open(Handle, const std::string& name, Mode mode, Handle& handle) override {
    if (int error = ask(Call::kOpen, name)) return error;
    auto found = names_.find(name);
    if (mode == Mode::kRead && found == names_.end()) return ENOENT;
    if (mode == Mode::kCreateNew && found != names_.end()) return EEXIST;
    if (found == names_.end()) {
      found = names_.emplace(name, std::make_shared<File>()).first;
      changed(Call::kOpen, name);
    }
    handle = next_handle_++;
    open_[handle] = {name, found->second};
    return 0;
  }

  int duplicate(Handle handle, Handle& copy) override {
    if (handle == kDirectory) {
      copy = kDirectory;
      return 0;
    }
    copy = next_handle_++;
    open_[copy] = open_.at(handle);
    return 0;
  }

  int write_at(Handle handle, std::string_view bytes, std::uint64_t offset,
               std::size_t& written) override {
    written = 0;
    Open& file = open_.at(handle);
    int error = ask(Call::kWrite, file.name);
    std::size_t take = bytes.size();
    if (error == ENOSPC) take = std::min(short_write, take);
    if (error == 0 && used() + bytes.size() > capacity) {
      error = ENOSPC;
      take = capacity > used() ? capacity - used() : 0;
    }
    if (error != 0 && take == 0) return error;
    std::string& now = file.file->now;
    if (now.size() < offset + take) now.resize(offset + take, '\0');
    now.replace(offset, take, bytes.substr(0, take));
    written = take;
    changed(Call::kWrite, file.name);
    return error;
  }

  int read_at(Handle handle, char* buffer, std::size_t room, std::uint64_t offset,
              std::size_t& got) override {
    got = 0;
    const Open& file = open_.at(handle);
    if (int error = ask(Call::kRead, file.name)) return error;
    const std::string& now = file.file->now;
    if (offset >= now.size()) return 0;
    got = std::min<std::size_t>(room, now.size() - offset);
    std::memcpy(buffer, now.data() + offset, got);
    return 0;
  }

  int truncate(Handle handle, std::uint64_t size) override {
    const Open& file = open_.at(handle);
    if (int error = ask(Call::kTruncate, file.name)) return error;
    file.file->now.resize(size);
    if (file.file->durable.size() > size) file.file->durable.resize(size);
    changed(Call::kTruncate, file.name);
    return 0;
  }

  int sync(Handle handle) override {
    if (handle == kDirectory) {
      if (int error = ask(Call::kSync, "")) return error;
      durable_names_ = names_;
      changed(Call::kSync, "");
      return 0;
    }
    const Open& file = open_.at(handle);
    File& f = *file.file;
    if (int error = ask(Call::kSync, file.name)) {
      // The system may have dropped the pages: what was not durable is lost
      // to a power cut whatever a later sync says.
      f.lost_upto = std::max(f.lost_upto, f.now.size());
      return error;
    }
    std::string durable = f.now;
    const std::size_t lost_end = std::min(f.lost_upto, durable.size());
    if (lost_end > f.durable.size()) {
      durable.replace(f.durable.size(), lost_end - f.durable.size(), lost_end - f.durable.size(), '\0');
    }
    f.durable = durable;
    f.lost_upto = 0;
    changed(Call::kSync, file.name);
    return 0;
  }

  int unlink(Handle, const std::string& name) override {
    if (int error = ask(Call::kUnlink, name)) return error;
    if (names_.erase(name) == 0) return ENOENT;
    changed(Call::kUnlink, name);
    return 0;
  }

  int rename(Handle, const std::string& from, const std::string& to) override {
    if (int error = ask(Call::kRename, from)) return error;
    auto found = names_.find(from);
    if (found == names_.end()) return ENOENT;
    names_[to] = found->second;
    names_.erase(from);
    changed(Call::kRename, to);
    return 0;
  }

  int check_directory(Handle) override { return 0; }
  void close(Handle handle) override {
    if (handle != kDirectory) open_.erase(handle);
  }

 private:
  static constexpr Handle kDirectory = 3;
  struct Open {
    std::string name;
    std::shared_ptr<File> file;
  };

  int ask(Call call, const std::string& name) const { return fault ? fault(call, name) : 0; }
  void changed(Call call, const std::string& name) {
    if (after_change) after_change(call, name);
  }
  std::size_t used() const {
    std::size_t bytes = 0;
    for (const auto& [name, file] : names_) bytes += file->now.size();
    return bytes;
  }

  std::map<std::string, std::shared_ptr<File>> names_;
  std::map<std::string, std::shared_ptr<File>> durable_names_;
  std::map<Handle, Open> open_;
  Handle next_handle_ = 10;
};

#endif  // MQTT_INFLUX_BRIDGE_TESTS_SUPPORT_FAKE_FILE_SYSTEM_H_
