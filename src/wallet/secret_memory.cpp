// The process-wide side of the wallet's secret keeping, including the replacements of the
// global allocation functions: they allocate with malloc as the standard ones do and, once
// `protect` has run, wipe each block's whole usable size before it is freed.
#include "wallet/secret_memory.h"

#include <linux/capability.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

#include "core/hashing.h"

namespace secmem {

namespace {

std::atomic<bool> g_wipe{false};

void* allocate(size_t n) {
  if (n == 0) n = 1;
  for (;;) {
    if (void* p = std::malloc(n)) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    handler();
  }
}

void* allocate_aligned(size_t n, std::align_val_t align) {
  size_t a = static_cast<size_t>(align);
  if (a < sizeof(void*)) a = sizeof(void*);
  if (n == 0) n = 1;
  for (;;) {
    void* p = nullptr;
    if (::posix_memalign(&p, a, n) == 0) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    handler();
  }
}

void* allocate_or_throw(size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}

void* allocate_aligned_or_throw(size_t n, std::align_val_t align) {
  if (void* p = allocate_aligned(n, align)) return p;
  throw std::bad_alloc();
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  if (g_wipe.load(std::memory_order_relaxed)) hashing::wipe(p, ::malloc_usable_size(p));
  std::free(p);
}

// Whether the process may lock memory beyond the limit (CAP_IPC_LOCK in its effective set).
bool may_lock_beyond_limit() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_IPC_LOCK / 32].effective >> (CAP_IPC_LOCK % 32)) & 1;
}

// Locking future mappings under a finite limit would make an allocation fail as soon as
// the limit is reached (a 64 MiB key derivation, a large block page), so memory is locked
// only when the limit is, or can be made, unlimited. Pages are locked as they are first
// touched where the kernel allows, so thread stacks are not filled in advance.
void lock_memory() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_MEMLOCK, &lim) != 0) return;
  if (lim.rlim_cur != RLIM_INFINITY && !may_lock_beyond_limit()) {
    rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_MEMLOCK, &unlimited) != 0) return;
  }
  if (::mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0) {
    (void)::mlockall(MCL_CURRENT | MCL_FUTURE);
  }
}

// Stack of one extra thread: ample for opening notes, and wiped whole after each run.
constexpr size_t kThreadStack = size_t{1} << 20;

// What one run of `run_threads` shares with its extra threads: the body, and the first
// exception any thread's body ended with, thrown again on the calling thread once all
// have ended.
struct Shared {
  const std::function<void()>* body;
  std::mutex mu;
  std::exception_ptr error;

  void run() noexcept {
    try {
      (*body)();
    } catch (...) {
      std::lock_guard lock(mu);
      if (!error) error = std::current_exception();
    }
  }
};

extern "C" void* run_body(void* shared) {
  static_cast<Shared*>(shared)->run();
  return nullptr;
}

// The extra threads of one run. Dropping it joins them and wipes and unmaps their stacks,
// so no thread outlives the body it runs, however the calling thread leaves.
class Started {
 public:
  Started(size_t mapped, size_t guard) : mapped_(mapped), guard_(guard) {}
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  ~Started() {
    for (const Extra& e : threads_) {
      ::pthread_join(e.id, nullptr);
      hashing::wipe(e.base + guard_, kThreadStack);
      ::munmap(e.base, mapped_);
    }
  }
  void reserve(size_t n) { threads_.reserve(n); }
  void add(uint8_t* base, pthread_t id) { threads_.push_back(Extra{base, id}); }

 private:
  struct Extra {
    uint8_t* base;
    pthread_t id;
  };
  size_t mapped_;
  size_t guard_;
  std::vector<Extra> threads_;
};

}  // namespace

void run_threads(unsigned extra, const std::function<void()>& body) {
  // Each stack has a page below it that no thread may touch, so an overflow stops the
  // program instead of writing into whatever lies below.
  const size_t guard = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t mapped = guard + kThreadStack;
  Shared shared{&body, {}, nullptr};
  {
    Started started(mapped, guard);
    started.reserve(extra);
    for (unsigned i = 0; i < extra; ++i) {
      void* m = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
      if (m == MAP_FAILED) break;
      uint8_t* base = static_cast<uint8_t*>(m);
      pthread_attr_t attr;
      pthread_t id{};
      bool ok = ::mprotect(base, guard, PROT_NONE) == 0 && ::pthread_attr_init(&attr) == 0;
      if (ok) {
        ok = ::pthread_attr_setstack(&attr, base + guard, kThreadStack) == 0 &&
             ::pthread_create(&id, &attr, run_body, &shared) == 0;
        ::pthread_attr_destroy(&attr);
      }
      if (!ok) {
        ::munmap(base, mapped);
        break;
      }
      started.add(base, id);
    }
    shared.run();
  }
  if (shared.error) std::rethrow_exception(shared.error);
}

void protect() {
  g_wipe.store(true, std::memory_order_relaxed);
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  rlimit none{0, 0};
  (void)::setrlimit(RLIMIT_CORE, &none);
  lock_memory();
}

bool wiping() { return g_wipe.load(std::memory_order_relaxed); }

[[gnu::noinline]] void scrub_stack() {
  unsigned char area[kScrubBytes];
  hashing::wipe(area, sizeof area);
}

}  // namespace secmem

// ---------------------------------------------------------------------------------------
// The global allocation functions of the program

void* operator new(size_t n) { return secmem::allocate_or_throw(n); }
void* operator new[](size_t n) { return secmem::allocate_or_throw(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return secmem::allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return secmem::allocate(n); }
void* operator new(size_t n, std::align_val_t a) { return secmem::allocate_aligned_or_throw(n, a); }
void* operator new[](size_t n, std::align_val_t a) {
  return secmem::allocate_aligned_or_throw(n, a);
}
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return secmem::allocate_aligned(n, a);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return secmem::allocate_aligned(n, a);
}

void operator delete(void* p) noexcept { secmem::release(p); }
void operator delete[](void* p) noexcept { secmem::release(p); }
void operator delete(void* p, size_t) noexcept { secmem::release(p); }
void operator delete[](void* p, size_t) noexcept { secmem::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { secmem::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { secmem::release(p); }
void operator delete(void* p, std::align_val_t) noexcept { secmem::release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { secmem::release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { secmem::release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { secmem::release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  secmem::release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  secmem::release(p);
}
