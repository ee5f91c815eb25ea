// Bulk and interrupt pipes: the periodic polls of the endpoint's current transfer.
#include <algorithm>
#include <cstring>

#include "host/usb/usb_bus_port.h"
#include "platform/wdm.h"

namespace host::usb {

void UsbBus::SchedulePoll(Port& port, uintptr_t pipe_handle) {
  if (port.gone) return;
  auto it = port.pipes.find(pipe_handle);
  if (it == port.pipes.end() || it->second.queue.empty()) return;
  UsbPipe& pipe = it->second;
  if (pipe.poll) io().kernel().CancelScheduled(pipe.poll);
  // The periodic schedule: whole multiples of the period, strictly after now, so that a
  // transfer submitted right after a poll waits for the next one.
  kernel::Ticks period = pipe.Period();
  kernel::Ticks when = (io().kernel().Now() / period + 1) * period;
  uint64_t id = pipe.queue.front()->id;
  pipe.poll = io().kernel().ScheduleAt(
      when, [this, &port, pipe_handle, id] { Poll(port, pipe_handle, id); });
}

void UsbBus::Poll(Port& port, uintptr_t pipe_handle, uint64_t transfer_id) {
  uint8_t endpoint;
  bool in;
  uint16_t packet_length;
  std::vector<uint8_t> packet;
  {
    std::lock_guard lock(mu_);
    auto it = port.pipes.find(pipe_handle);
    if (it == port.pipes.end()) return;
    UsbPipe& pipe = it->second;
    pipe.poll = 0;
    if (port.gone || pipe.queue.empty() || pipe.queue.front()->id != transfer_id) return;
    // A suspended port is not polled; the return to D0 schedules the poll again.
    if (port.powered_down) return;
    Transfer* t = pipe.queue.front();
    endpoint = pipe.endpoint;
    in = pipe.In();
    packet_length = uint16_t(std::min<uint32_t>(pipe.max_packet, t->requested - t->moved));
    if (!in && packet_length) {
      packet.assign(t->buffer + t->moved, t->buffer + t->moved + packet_length);
    }
  }

  InPacket received;
  Handshake handshake;
  if (in) {
    received = port.device.PollIn(endpoint, packet_length);
    handshake = received.handshake;
  } else {
    handshake = port.device.Out(endpoint, packet);
  }

  std::unique_ptr<Transfer> mine;
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
  {
    std::lock_guard lock(mu_);
    auto it = port.pipes.find(pipe_handle);
    if (port.gone || it == port.pipes.end()) return;
    UsbPipe& pipe = it->second;
    if (pipe.queue.empty() || pipe.queue.front()->id != transfer_id) return;
    Transfer* t = pipe.queue.front();
    switch (handshake) {
      case Handshake::kNak:
        SchedulePoll(port, pipe_handle);
        return;
      case Handshake::kStall:
        pipe.halted = true;
        status = STATUS_UNSUCCESSFUL;
        usbd_status = USBD_STATUS_STALL_PID;
        mine = Claim(port, t);
        break;
      case Handshake::kAck: {
        bool done;
        if (in) {
          // A device that sends more than asked for is cut off at the packet's length.
          uint32_t n = uint32_t(std::min<size_t>(received.data.size(), packet_length));
          if (n) std::memcpy(t->buffer + t->moved, received.data.data(), n);
          t->moved += n;
          done = pipe.type == USB_ENDPOINT_TYPE_INTERRUPT || n < pipe.max_packet ||
                 t->moved == t->requested;
        } else {
          t->moved += packet_length;
          done = t->moved == t->requested;
        }
        if (!done) {
          SchedulePoll(port, pipe_handle);
          return;
        }
        mine = Claim(port, t);
        break;
      }
    }
  }
  if (mine) Deliver(std::move(mine), status, usbd_status);
}

}  // namespace host::usb
