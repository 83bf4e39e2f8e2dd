#include "transport/WireFrame.h"

void WireFrame::Start(ByteArray& body, uint32_t word) {
    body.Clear();
    body.AppendData(SyncMarker, static_cast<int32_t>(SyncMarkerLength));
    body.AppendInt32(0);
    body.AppendInt32(word);
}

void WireFrame::Finish(ByteArray& body) {
    constexpr int32_t kLengthAt = static_cast<int32_t>(SyncMarkerLength);
    body.PatchInt32(kLengthAt, static_cast<uint32_t>(body.GetLength() - kLengthAt - 4));
}

int32_t WireFrame::ReadHead(ByteReader& in, const HeadFaults& faults, uint32_t& length, uint32_t& word) {
    if (in.Remain() < SyncMarkerLength) return faults.shortBody;
    if (!in.Matches(SyncMarker, SyncMarkerLength)) return faults.wrongMarker;
    in.Skip(SyncMarkerLength);
    uint32_t first = 0, second = 0;
    if (!in.Int32(first)) return faults.noLength;
    if (!in.Int32(second)) return faults.noWord;
    length = first;
    word = second;
    return 0;
}
