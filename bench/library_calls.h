// The benchmark's only calls into the library, one small function each, so
// that a change of the library's internal signatures is adapted here alone.
// Every call talks to 127.0.0.1 at port, with the library's 60-second
// time-out and a stop flag that nothing raises.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench::library {

int32_t PutFileEx(uint16_t port, const std::string& localPath, const std::string& remotePath);
int32_t GetFile(uint16_t port, const std::string& remotePath, const std::string& localPath);
// SyncMusicFile over PC files as the host calls it (device root /sdcard, no
// window); phonePaths, when given, receives each item's phone path as the
// library wrote it into the item.
int32_t SyncMusicFile(uint16_t port, const std::vector<std::string>& pcFiles,
                      std::vector<std::string>* phonePaths);
// SyncPhoto into pcFolder (the phone's /sdcard/DCIM tree).
int32_t SyncPhoto(uint16_t port, const std::string& pcFolder);

}  // namespace bench::library
