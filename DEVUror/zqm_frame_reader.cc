#include "DEVUror/zqm_frame_reader.h"

#include <algorithm>
#include <cstring>

namespace zqm_wire {

std::span<char> FrameReader::Space() {
  if (headerDone_ < kHeaderBytes) {
    return {reinterpret_cast<char*>(header_) + headerDone_, kHeaderBytes - headerDone_};
  }
  if (payload_.size() == payloadDone_) {
    const std::size_t chunk = std::min<std::size_t>(kReadChunkBytes, length_ - payloadDone_);
    payload_.resize(payloadDone_ + chunk);
  }
  return {payload_.data() + payloadDone_, payload_.size() - payloadDone_};
}

bool FrameReader::Received(std::size_t n) {
  if (headerDone_ < kHeaderBytes) {
    headerDone_ += n;
    if (headerDone_ < kHeaderBytes) return false;
    length_ = FrameLength(header_);
    if (length_ > limit_) {
      ZQM_EProtocolError error(ZQ_TString::Format(
          "a frame of %d bytes %s", length_,
          limitName_ != nullptr ? limitName_
                                : ZQ_TString::Format("exceeds the limit of %d bytes", limit_)));
      ZQ_THROW_AT(error, __FILE__, __LINE__);
    }
    payload_.clear();
    payloadDone_ = 0;
    return false;
  }
  payloadDone_ += n;
  return payloadDone_ == length_;
}

std::string FrameReader::Take() {
  std::string payload = std::move(payload_);
  payload_ = std::string();
  headerDone_ = 0;
  length_ = 0;
  payloadDone_ = 0;
  return payload;
}

}  // namespace zqm_wire
