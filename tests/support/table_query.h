// Reads rows back from the stand-in's media database through the library's
// own query operation.
#pragma once

#include <string>
#include <vector>

#include "tablesync/AndroidOperationQuery.h"
#include "transport/PhoneEndpoint.h"

constexpr char kTestPlaylistsUri[] = "content://media/external/audio/playlists";
constexpr char kTestAudioUri[] = "content://media/external/audio/media";

std::string TestMembersUri(const std::string& playlistId);

// The endpoint of a phone service on 127.0.0.1 at port, with no retries.
PhoneEndpoint LoopbackPhone(int32_t port, const RetryPolicy& retry = RetryPolicy());

// The rows of uri (optionally "_id=N"), or empty after a failed test
// expectation.
std::vector<AndroidOperationQuery::Row> QueryRows(int port, const std::string& uri,
                                                  const char* selection = nullptr);
