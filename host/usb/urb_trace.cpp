#include "host/usb/urb_trace.h"

#include <cstdio>

#include "host/usb/usbpcap.h"

namespace host::usb {

std::string UrbFunctionName(uint16_t function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return "SELECT_CONFIGURATION";
    case URB_FUNCTION_SELECT_INTERFACE:
      return "SELECT_INTERFACE";
    case URB_FUNCTION_ABORT_PIPE:
      return "ABORT_PIPE";
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      return "GET_CURRENT_FRAME_NUMBER";
    case URB_FUNCTION_CONTROL_TRANSFER:
      return "CONTROL_TRANSFER";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return "BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_ISOCH_TRANSFER:
      return "ISOCH_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return "GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
      return "SET_DESCRIPTOR_TO_DEVICE";
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
      return "SET_FEATURE_TO_DEVICE";
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
      return "SET_FEATURE_TO_INTERFACE";
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
      return "SET_FEATURE_TO_ENDPOINT";
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
      return "CLEAR_FEATURE_TO_DEVICE";
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
      return "CLEAR_FEATURE_TO_INTERFACE";
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return "CLEAR_FEATURE_TO_ENDPOINT";
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      return "GET_STATUS_FROM_DEVICE";
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
      return "GET_STATUS_FROM_INTERFACE";
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
      return "GET_STATUS_FROM_ENDPOINT";
    case URB_FUNCTION_VENDOR_DEVICE:
      return "VENDOR_DEVICE";
    case URB_FUNCTION_VENDOR_INTERFACE:
      return "VENDOR_INTERFACE";
    case URB_FUNCTION_VENDOR_ENDPOINT:
      return "VENDOR_ENDPOINT";
    case URB_FUNCTION_CLASS_DEVICE:
      return "CLASS_DEVICE";
    case URB_FUNCTION_CLASS_INTERFACE:
      return "CLASS_INTERFACE";
    case URB_FUNCTION_CLASS_ENDPOINT:
      return "CLASS_ENDPOINT";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
    case URB_FUNCTION_CLASS_OTHER:
      return "CLASS_OTHER";
    case URB_FUNCTION_VENDOR_OTHER:
      return "VENDOR_OTHER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      return "GET_DESCRIPTOR_FROM_ENDPOINT";
    case URB_FUNCTION_GET_CONFIGURATION:
      return "GET_CONFIGURATION";
    case URB_FUNCTION_GET_INTERFACE:
      return "GET_INTERFACE";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
      return "GET_DESCRIPTOR_FROM_INTERFACE";
    case URB_FUNCTION_SYNC_RESET_PIPE:
      return "SYNC_RESET_PIPE";
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return "SYNC_CLEAR_STALL";
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%04X", function);
  return buffer;
}

uint64_t UrbTrace::Submitted(UrbRecord record, kernel::Ticks now) {
  std::lock_guard lock(mu_);
  record.id = next_id_++;
  record.submitted = now;
  record.completed = false;
  index_[record.id] = records_.size();
  records_.push_back(std::move(record));
  return records_.back().id;
}

void UrbTrace::Completed(uint64_t id, kernel::Ticks now, NTSTATUS status, USBD_STATUS usbd_status,
                         uint32_t actual_length, std::span<const uint8_t> in_data) {
  std::lock_guard lock(mu_);
  auto it = index_.find(id);
  if (it == index_.end()) return;
  UrbRecord& r = records_[it->second];
  r.completed = true;
  r.completed_at = now;
  r.status = status;
  r.usbd_status = usbd_status;
  r.actual_length = actual_length;
  r.in_data.assign(in_data.begin(), in_data.end());
}

std::vector<UrbRecord> UrbTrace::Records() const {
  std::lock_guard lock(mu_);
  return records_;
}

size_t UrbTrace::size() const {
  std::lock_guard lock(mu_);
  return records_.size();
}

void UrbTrace::Clear() {
  std::lock_guard lock(mu_);
  records_.clear();
  index_.clear();
}

namespace {

std::string Hex(std::span<const uint8_t> bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", s.empty() ? "" : " ", v);
    s += b;
  }
  return s;
}

std::string Millis(kernel::Ticks t) {
  char b[32];
  std::snprintf(b, sizeof b, "%lld.%04lld",
                static_cast<long long>(t / kernel::kTicksPerMillisecond),
                static_cast<long long>(t % kernel::kTicksPerMillisecond));
  return b;
}

const char* TypeName(TransferType t) {
  switch (t) {
    case TransferType::kIsochronous:
      return "isoch";
    case TransferType::kInterrupt:
      return "interrupt";
    case TransferType::kControl:
      return "control";
    case TransferType::kBulk:
      return "bulk";
    case TransferType::kIrpInfo:
      return "irp";
  }
  return "?";
}

}  // namespace

std::string UrbTrace::Format() const {
  std::string out;
  char b[160];
  for (const UrbRecord& r : Records()) {
    std::snprintf(b, sizeof b, "#%llu %sms %s ep=0x%02X %s len=%u",
                  static_cast<unsigned long long>(r.id), Millis(r.submitted).c_str(),
                  UrbFunctionName(r.function).c_str(), r.endpoint, TypeName(r.transfer),
                  r.requested_length);
    out += b;
    if (r.setup) out += " setup=[" + Hex(r.setup->Bytes()) + "]";
    if (!r.out_data.empty()) out += " out=[" + Hex(r.out_data) + "]";
    if (r.completed) {
      std::snprintf(b, sizeof b, " -> %sms status=0x%08X usbd=0x%08X actual=%u",
                    Millis(r.completed_at).c_str(), static_cast<uint32_t>(r.status),
                    static_cast<uint32_t>(r.usbd_status), r.actual_length);
      out += b;
      if (!r.in_data.empty()) out += " in=[" + Hex(r.in_data) + "]";
    } else {
      out += " -> pending";
    }
    out += "\n";
  }
  return out;
}

bool UrbTrace::WritePcap(const std::string& path, std::string* error) const {
  return WriteUsbPcapFile(path, Records(), error);
}

}  // namespace host::usb
