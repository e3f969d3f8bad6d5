#include "DEVUror/zqm_frame_reader.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace zqm_wire {

namespace {

std::size_t BudgetFromEnvironment() {
  const char* text = std::getenv("ZQM_FRAME_BUDGET_BYTES");
  if (text == nullptr || *text == 0) return kDefaultFrameBudgetBytes;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return *end == 0 && value >= kReadChunkBytes ? static_cast<std::size_t>(value)
                                               : kDefaultFrameBudgetBytes;
}

std::atomic<std::size_t> gCharged{0};

// Charges `bytes` to the budget, or fails without charging.
void Charge(std::size_t bytes) {
  static const std::size_t budget = BudgetFromEnvironment();
  if (gCharged.fetch_add(bytes) + bytes <= budget) return;
  gCharged.fetch_sub(bytes);
  ZQM_EProtocolError spent(ZQ_TString::Format(
      "frames in flight would pass the budget of %d bytes for all connections", budget));
  ZQ_THROW_AT(spent, __FILE__, __LINE__);
}

}  // namespace

FrameReader::~FrameReader() {
  gCharged.fetch_sub(charged_);
}

std::span<char> FrameReader::Space() {
  if (headerDone_ < kHeaderBytes) {
    return {reinterpret_cast<char*>(header_) + headerDone_, kHeaderBytes - headerDone_};
  }
  if (payload_.size() == payloadDone_) {
    const std::size_t chunk = std::min<std::size_t>(kReadChunkBytes, length_ - payloadDone_);
    // The first chunk is free: every connection may hold that much.
    if (payloadDone_ > 0) {
      Charge(chunk);
      charged_ += chunk;
    }
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
  gCharged.fetch_sub(charged_);
  charged_ = 0;
  std::string payload = std::move(payload_);
  payload_ = std::string();
  headerDone_ = 0;
  length_ = 0;
  payloadDone_ = 0;
  return payload;
}

}  // namespace zqm_wire
