// The session host's connection slots: two intrusive lists under one lock,
// so every step is constant time however many connections are held.
#include "tools/sessiond/slots.h"

namespace sessiond {

namespace {
enum { kNone = 0, kIdle = 1, kBusy = 2 };
}

SessionSlots::List* SessionSlots::ListOf(int which) {
  return which == kIdle ? &idle_ : which == kBusy ? &busy_ : nullptr;
}

void SessionSlots::Append(SlotHolder* holder, int which) {
  List* list = ListOf(which);
  holder->list_ = which;
  holder->newer_ = nullptr;
  holder->older_ = list->newest;
  if (list->newest != nullptr)
    list->newest->newer_ = holder;
  else
    list->oldest = holder;
  list->newest = holder;
  list->count++;
}

void SessionSlots::Unlink(SlotHolder* holder) {
  List* list = ListOf(holder->list_);
  if (list == nullptr) return;
  (holder->older_ != nullptr ? holder->older_->newer_ : list->oldest) = holder->newer_;
  (holder->newer_ != nullptr ? holder->newer_->older_ : list->newest) = holder->older_;
  holder->older_ = holder->newer_ = nullptr;
  holder->list_ = kNone;
  list->count--;
}

void SessionSlots::Release(SlotHolder* holder) {
  if (holder->list_ == kNone) return;
  Unlink(holder);
  if (perAddress_ > 0) {
    auto counted = perAddressCount_.find(holder->address_);
    if (counted != perAddressCount_.end() && --counted->second == 0)
      perAddressCount_.erase(counted);
  }
}

Admission SessionSlots::Admit(SlotHolder* holder, const std::string& address, bool* madeRoom) {
  std::lock_guard<std::mutex> hold(mutex_);
  *madeRoom = false;
  int* fromAddress = nullptr;
  if (perAddress_ > 0) {
    fromAddress = &perAddressCount_[address];
    if (*fromAddress >= perAddress_) return Admission::AddressFull;
  }
  if (idle_.count + busy_.count >= static_cast<size_t>(capacity_)) {
    SlotHolder* oldest = idle_.oldest;
    if (oldest == nullptr) {
      if (fromAddress != nullptr && *fromAddress == 0) perAddressCount_.erase(address);
      return Admission::Full;
    }
    // Counted out now: its socket closes on its own thread a moment later.
    Release(oldest);
    oldest->Evict(EvictCause::MadeRoom, "idle the longest when a new connection came at the cap");
    *madeRoom = true;
    if (perAddress_ > 0) fromAddress = &perAddressCount_[address];  // the map may have changed
  }
  if (fromAddress != nullptr) {
    ++*fromAddress;
    holder->address_ = address;
  }
  Append(holder, kIdle);
  return Admission::Admitted;
}

void SessionSlots::Idle(SlotHolder* holder) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (holder->list_ == kNone) return;
  Unlink(holder);
  Append(holder, kIdle);
}

bool SessionSlots::Busy(SlotHolder* holder) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (holder->list_ == kNone) return false;
  Unlink(holder);
  Append(holder, kBusy);
  return true;
}

void SessionSlots::Leave(SlotHolder* holder) {
  std::lock_guard<std::mutex> hold(mutex_);
  Release(holder);
}

void SessionSlots::EvictAll(const char* reason) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (List* list : {&idle_, &busy_}) {
    while (SlotHolder* holder = list->oldest) {
      Release(holder);
      holder->Evict(EvictCause::Stopping, reason);
    }
  }
}

size_t SessionSlots::held() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return idle_.count + busy_.count;
}

size_t SessionSlots::idle() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return idle_.count;
}

}  // namespace sessiond
