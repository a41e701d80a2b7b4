// The session host's connection slots: how many connections are held, which
// of them wait idle for their next request, and in what order they went
// idle. At the cap a new connection takes the slot of the one idle the
// longest; a connection in the middle of a request or a reply keeps its
// slot. So one client holding many idle sockets cannot lock others out, and
// nobody is cut off while being served.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <mutex>
#include <string>
#include <unordered_map>

namespace sessiond {

// Why the slots take a holder's place away.
enum class EvictCause { MadeRoom, Stopping };

// What the slots need of a connection. The links are the slots' own.
class SlotHolder {
 public:
  // The slots gave this holder's place away (or the server stops): close.
  // Called with the slots' lock held and from any thread, so it must only
  // hand the close to the holder's own thread, never call the slots back.
  virtual void Evict(EvictCause cause, const char* reason) = 0;

 protected:
  SlotHolder() = default;
  ~SlotHolder() = default;

 private:
  friend class SessionSlots;
  SlotHolder* older_ = nullptr;
  SlotHolder* newer_ = nullptr;
  int list_ = 0;         // kNone, kIdle or kBusy (slots.cpp)
  std::string address_;  // the per-address key while held
};

enum class Admission { Admitted, Full, AddressFull };

class SessionSlots {
 public:
  // capacity: connections held at once; perAddress: 0 for no cap per address.
  SessionSlots(int capacity, int perAddress) : capacity_(capacity), perAddress_(perAddress) {}
  SessionSlots(const SessionSlots&) = delete;
  SessionSlots& operator=(const SessionSlots&) = delete;

  // Takes a new connection in, idle since now. At the cap the holder idle
  // the longest is evicted for it (*madeRoom set); Full when every holder
  // is busy. AddressFull evicts no one.
  Admission Admit(SlotHolder* holder, const std::string& address, bool* madeRoom);
  // The holder waits for its next request: the newest idle one.
  void Idle(SlotHolder* holder);
  // A request began arriving. False when the holder was evicted meanwhile.
  bool Busy(SlotHolder* holder);
  // The holder closed (or is destroyed): its slot is free. Harmless twice.
  void Leave(SlotHolder* holder);
  // Evicts every holder, busy ones too.
  void EvictAll(const char* reason);

  size_t held() const;
  size_t idle() const;

 private:
  struct List {
    SlotHolder* oldest = nullptr;
    SlotHolder* newest = nullptr;
    size_t count = 0;
  };
  List* ListOf(int which);
  void Append(SlotHolder* holder, int which);
  void Unlink(SlotHolder* holder);
  void Release(SlotHolder* holder);  // unlink and uncount

  const int capacity_;
  const int perAddress_;
  mutable std::mutex mutex_;
  List idle_;  // oldest idle first
  List busy_;
  std::unordered_map<std::string, int> perAddressCount_;
};

}  // namespace sessiond
