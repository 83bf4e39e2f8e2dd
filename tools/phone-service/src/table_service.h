// The "/tablesync" table service: insert, update, delete and query records
// applied to the media database, one answer record per request record.
#pragma once

#include "file_service.h"
#include "media_db.h"
#include "wire.h"

namespace phone_service {

class TableService {
public:
    explicit TableService(MediaDb& db) : db_(db) {}

    // failing_record: the 1-based position of a record to answer with code
    // 0 without applying it (fault injection); 0 for none.
    ServiceAnswer Handle(const Bytes& request, int failing_record = 0) const;

private:
    MediaDb& db_;
};

}  // namespace phone_service
