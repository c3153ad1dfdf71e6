// An entry of a mounted catalog being read: opened as a member of its
// catalog's directory and given byte by byte in order, as the entry's
// records make them (records.h). A read behind what was given (the reader
// went back) copies the entry whole into a temporary file once and serves
// every read from it; Detach sets a reader aside the same way, so that the
// store keeps no snapshot open for it.

#ifndef VUVOROZO_CLI_MOUNT_ENTRY_READER_H_
#define VUVOROZO_CLI_MOUNT_ENTRY_READER_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "cli/files/attributes.h"
#include "cli/records.h"
#include "cli/session.h"

namespace cli {

class EntryReader {
 public:
  // The entry key of the session's store; as_file says how its records
  // make bytes and how they were written, and what a whole read of them
  // must give (its size and hash, when kept): bytes that disagree are a
  // damaged entry, an error (EIO), never a file's content.
  EntryReader(Session& session, EntryKey key, const EntryFile& as_file);
  ~EntryReader();
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;

  // Opens the entry from its start. Returns the status of the opens.
  int32_t Open();
  // Whether the entry is open in the store (not yet copied aside).
  bool open() const { return bytes_ != nullptr; }

  // Copies what is left of the entry, from where the reader stands, into a
  // temporary file at the same offsets, and closes the entry: the store's
  // connection then keeps no snapshot for it, and the reader goes on with
  // the content it began with. A negative errno on failure.
  int Detach();

  // Bytes read into data from offset, or a negative errno.
  int Read(char* data, size_t size, off_t offset);

  // Every byte of the open entry, from where it stands, to fd. 0 with
  // *total the bytes, or a negative errno.
  int CopyTo(int fd, int64_t* total);

  // The bytes of the open entry, counted: 0 with *total, or a negative
  // errno.
  int Count(int64_t* total);

 private:
  int Failed();
  int Pull(char* data, size_t size);
  int Spool();
  void Close();
  int ReadSpool(char* data, size_t size, off_t offset) const;

  Session& session_;
  EntryKey key_;
  EntryFile as_file_;
  std::unique_ptr<Fileref> fileref_;
  std::unique_ptr<Directory> directory_;
  std::unique_ptr<EntryStream> entry_;
  std::unique_ptr<EntryBytes> bytes_;
  off_t position_ = 0;  // bytes given so far
  const char* piece_ = nullptr;
  size_t piece_length_ = 0;
  int spool_ = -1;         // the temporary file, once copied aside
  off_t spool_start_ = 0;  // the spool holds the bytes from here on
};

// What the views and the pending writes of a mount need of the readers it
// holds open: the store's connection keeps the snapshot an open reader
// reads from, so it would list catalogs as they were, and refuse a write of
// its own.
struct Readers {
  std::function<bool()> streaming;  // some reader is open in the store
  std::function<void()> detach;     // sets every one aside (Detach)
};

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_ENTRY_READER_H_
