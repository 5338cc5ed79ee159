#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 12)
#include "mount/fuse_glue.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace quillstone_dat::tool {
namespace {

// Nothing in a mounted snapshot changes: a year.
constexpr double kTimeout = 365.0 * 24 * 3600;

ArchiveFs& fs_of(fuse_req_t req) {
  return *static_cast<ArchiveFs*>(fuse_req_userdata(req));
}

struct stat stat_of(const FsAttr& attr) {
  struct stat st {};
  st.st_ino = attr.ino;
  st.st_mode = attr.directory ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  st.st_nlink = attr.directory ? 2 : 1;
  st.st_uid = ::getuid();
  st.st_gid = ::getgid();
  st.st_size = static_cast<off_t>(attr.size);
  st.st_blksize = 4096;
  st.st_blocks = static_cast<blkcnt_t>((attr.size + 511) / 512);
  st.st_mtim.tv_sec = attr.mtime;
  st.st_atim.tv_sec = attr.mtime;
  st.st_ctim.tv_sec = attr.mtime;
  return st;
}

fuse_entry_param entry_of(const FsAttr& attr) {
  fuse_entry_param e {};
  e.ino = attr.ino;
  e.attr = stat_of(attr);
  e.attr_timeout = kTimeout;
  e.entry_timeout = kTimeout;
  return e;
}

void op_init(void*, fuse_conn_info* conn) {
  // Listings carry attributes where the kernel asks for them (READDIRPLUS
  // with AUTO: after a listing is followed by stats, as in ls -l; a bare
  // listing such as ls -f takes names alone, which keeps the kernel from
  // making an inode for each of a million entries). Reads may be served by
  // several threads.
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  if (conn->capable & FUSE_CAP_READDIRPLUS_AUTO) {
    conn->want |= FUSE_CAP_READDIRPLUS_AUTO;
  }
  if (conn->capable & FUSE_CAP_ASYNC_READ) conn->want |= FUSE_CAP_ASYNC_READ;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  auto attr = fs_of(req).lookup(parent, name);
  if (!attr) {
    if (attr.error() == ENOENT) {
      // A negative entry, cached as long: no name appears later.
      fuse_entry_param e {};
      e.entry_timeout = kTimeout;
      fuse_reply_entry(req, &e);
      return;
    }
    fuse_reply_err(req, attr.error());
    return;
  }
  const fuse_entry_param e = entry_of(*attr);
  fuse_reply_entry(req, &e);
}

void op_forget(fuse_req_t req, fuse_ino_t, uint64_t) { fuse_reply_none(req); }

void op_forget_multi(fuse_req_t req, size_t, fuse_forget_data*) {
  fuse_reply_none(req);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  auto attr = fs_of(req).getattr(ino);
  if (!attr) {
    fuse_reply_err(req, attr.error());
    return;
  }
  const struct stat st = stat_of(*attr);
  fuse_reply_attr(req, &st, kTimeout);
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != ArchiveFs::kRootIno) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  if ((fi->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(req, EROFS);
    return;
  }
  fi->cache_readdir = 1;
  fi->keep_cache = 1;
  fuse_reply_open(req, fi);
}

void reply_dir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
               bool plus) {
  std::vector<char> buffer(size);
  std::size_t used = 0;
  const int error = fs_of(req).readdir(
      ino, static_cast<std::uint64_t>(offset), plus,
      [&](std::string_view name, const FsAttr& attr, std::uint64_t next) {
        const std::string text(name);
        std::size_t needed;
        if (plus) {
          fuse_entry_param e = entry_of(attr);
          // No attributes where they are not known without reading, nor for
          // . and ..: the kernel looks those up itself.
          if (!attr.complete || name == "." || name == "..") {
            e.ino = 0;
            e.attr_timeout = 0;
            e.entry_timeout = 0;
          }
          needed = fuse_add_direntry_plus(req, buffer.data() + used,
                                          size - used, text.c_str(), &e,
                                          static_cast<off_t>(next));
        } else {
          const struct stat st = stat_of(attr);
          needed = fuse_add_direntry(req, buffer.data() + used, size - used,
                                     text.c_str(), &st,
                                     static_cast<off_t>(next));
        }
        if (needed > size - used) return false;
        used += needed;
        return true;
      });
  if (error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                fuse_file_info*) {
  reply_dir(req, ino, size, offset, false);
}

void op_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                    fuse_file_info*) {
  reply_dir(req, ino, size, offset, true);
}

void op_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
  fuse_reply_err(req, 0);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto handle = fs_of(req).open_file(ino, fi->flags);
  if (!handle) {
    fuse_reply_err(req, handle.error());
    return;
  }
  fi->fh = *handle;
  fi->keep_cache = 1;
  fi->noflush = 1;
  if (fuse_reply_open(req, fi) == -ENOENT) fs_of(req).release(*handle);
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset,
             fuse_file_info* fi) {
  thread_local std::vector<std::uint8_t> buffer;
  if (buffer.size() < size) buffer.resize(size);
  auto n = fs_of(req).read(fi->fh, static_cast<std::uint64_t>(offset),
                           {buffer.data(), size});
  if (!n) {
    fuse_reply_err(req, n.error());
    return;
  }
  fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), *n);
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  fs_of(req).release(fi->fh);
  fuse_reply_err(req, 0);
}

void op_statfs(fuse_req_t req, fuse_ino_t) {
  const FsStat stat = fs_of(req).statfs();
  struct statvfs st {};
  st.f_bsize = 4096;
  st.f_frsize = 4096;
  st.f_blocks = (stat.bytes + 4095) / 4096;
  st.f_files = stat.files + 1;
  st.f_namemax = 255;
  st.f_flag = ST_RDONLY | ST_NOSUID | ST_NODEV;
  fuse_reply_statfs(req, &st);
}

// Every change is refused: the mount is read-only.
void op_setattr(fuse_req_t req, fuse_ino_t, struct stat*, int,
                fuse_file_info*) {
  fuse_reply_err(req, EROFS);
}
void op_mknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) {
  fuse_reply_err(req, EROFS);
}
void op_mkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) {
  fuse_reply_err(req, EROFS);
}
void op_unlink(fuse_req_t req, fuse_ino_t, const char*) {
  fuse_reply_err(req, EROFS);
}
void op_rename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t,
               const char*, unsigned) {
  fuse_reply_err(req, EROFS);
}
void op_link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) {
  fuse_reply_err(req, EROFS);
}
void op_symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) {
  fuse_reply_err(req, EROFS);
}
void op_write(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t,
              fuse_file_info*) {
  fuse_reply_err(req, EROFS);
}
void op_create(fuse_req_t req, fuse_ino_t, const char*, mode_t,
               fuse_file_info*) {
  fuse_reply_err(req, EROFS);
}
void op_setxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t,
                 int) {
  fuse_reply_err(req, EROFS);
}
void op_removexattr(fuse_req_t req, fuse_ino_t, const char*) {
  fuse_reply_err(req, EROFS);
}

fuse_lowlevel_ops make_ops() {
  fuse_lowlevel_ops ops {};
  ops.init = op_init;
  ops.lookup = op_lookup;
  ops.forget = op_forget;
  ops.forget_multi = op_forget_multi;
  ops.getattr = op_getattr;
  ops.setattr = op_setattr;
  ops.mknod = op_mknod;
  ops.mkdir = op_mkdir;
  ops.unlink = op_unlink;
  ops.rmdir = op_unlink;
  ops.symlink = op_symlink;
  ops.rename = op_rename;
  ops.link = op_link;
  ops.open = op_open;
  ops.read = op_read;
  ops.write = op_write;
  ops.release = op_release;
  ops.opendir = op_opendir;
  ops.readdir = op_readdir;
  ops.readdirplus = op_readdirplus;
  ops.releasedir = op_releasedir;
  ops.statfs = op_statfs;
  ops.setxattr = op_setxattr;
  ops.removexattr = op_removexattr;
  ops.create = op_create;
  return ops;
}

// What libfuse says while mounting, kept for the one-line error.
std::mutex log_mutex;
std::string* log_target = nullptr;

void capture_log(fuse_log_level, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard lock(log_mutex);
  if (log_target == nullptr) return;
  std::string line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
    line.pop_back();
  }
  if (line.starts_with("fuse: ")) line.erase(0, 6);
  if (!log_target->empty()) *log_target += "; ";
  *log_target += line;
}

}  // namespace

FuseSession::FuseSession(ArchiveFs& fs, fuse_session* session)
    : fs_(fs), session_(session) {}

std::expected<std::unique_ptr<FuseSession>, std::string> FuseSession::mount(
    ArchiveFs& fs, const std::filesystem::path& mountpoint,
    const std::vector<std::string>& options, const std::string& fsname) {
  std::string said;
  {
    std::lock_guard lock(log_mutex);
    log_target = &said;
  }
  fuse_set_log_func(capture_log);
  const auto stop_capture = [&] {
    std::lock_guard lock(log_mutex);
    log_target = nullptr;
  };

  std::vector<std::string> words = {"quillstone-dat", "-o",
                                    "ro,fsname=" + fsname +
                                        ",subtype=quillstone-dat"};
  for (const std::string& option : options) {
    words.push_back("-o");
    words.push_back(option);
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const fuse_lowlevel_ops ops = make_ops();
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, &fs);
  fuse_opt_free_args(&args);
  if (session == nullptr) {
    stop_capture();
    return std::unexpected(said.empty() ? "cannot start a FUSE session" : said);
  }
  // The handlers come first: a signal that arrives once the folder is
  // mounted ends the loop, which then unmounts, instead of the process.
  if (fuse_set_signal_handlers(session) != 0) {
    fuse_session_destroy(session);
    stop_capture();
    return std::unexpected("cannot set the signal handlers");
  }
  if (fuse_session_mount(session, mountpoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session);
    fuse_session_destroy(session);
    stop_capture();
    return std::unexpected(said.empty() ? "cannot mount" : said);
  }
  stop_capture();
  return std::unique_ptr<FuseSession>(new FuseSession(fs, session));
}

int FuseSession::run() {
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 16);
  fuse_loop_cfg_set_idle_threads(config, 4);
  const int result = fuse_session_loop_mt(session_, config);
  fuse_loop_cfg_destroy(config);
  fuse_remove_signal_handlers(session_);
  fuse_session_unmount(session_);
  mounted_ = false;
  return result < 0 ? -result : 0;
}

FuseSession::~FuseSession() {
  if (mounted_) {
    fuse_remove_signal_handlers(session_);
    fuse_session_unmount(session_);
  }
  fuse_session_destroy(session_);
}

}  // namespace quillstone_dat::tool
