/* Preloaded into 32-bit Wine when it runs through qemu-user (qemu 7.2) on a kernel that does
   not execute i386 code. It mends the two ways in which qemu's emulation of the i386 process
   differs from the kernel's and breaks Wine:

   - Fault frames: qemu stores -1 as the trap number of every signal frame, and Wine's fault
     handlers decide by that number (page fault, protection fault, breakpoint...). The handlers
     that Wine installs for the fault signals are wrapped, and the trap number is rebuilt from
     the signal and its si_code before Wine's handler sees the frame.
   - Thread segments: qemu keeps one descriptor table for all threads, so a slot written by
     set_thread_area in one thread is seen by every thread. Wine's %fs and glibc's %gs would
     then point at another thread's TEB and TLS block. Wine is told that set_thread_area does
     not exist (it then gives each thread an LDT selector of its own for %fs, from entry 512
     on), and every thread gets an LDT entry of its own, below 512, for its %gs.

   Built with gcc -m32 as a shared library; a 64-bit build of this file is empty, so that the
   64-bit programs that see the same LD_PRELOAD (the wineserver) load it quietly. */
#if defined(__i386__)
#define _GNU_SOURCE
#include <asm/ldt.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>

/* i386 exception vectors, as the kernel stores them in a signal frame. */
enum {
    kDivideError = 0,
    kSingleStep = 1,
    kBreakpoint = 3,
    kOverflow = 4,
    kInvalidOpcode = 6,
    kGeneralProtection = 13,
    kPageFault = 14,
    kFpuError = 16,
    kAlignment = 17,
};

/* LDT entries for the threads' %gs; Wine allocates its own selectors from 512 on. */
enum { kFirstGsEntry = 1, kLastGsEntry = 511 };

typedef int SigactionFn(int, const struct sigaction*, struct sigaction*);
typedef long SyscallFn(long, ...);
typedef int PthreadCreateFn(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

static SigactionFn* real_sigaction;
static SyscallFn* real_syscall;
static PthreadCreateFn* real_pthread_create;

static void warn(const char* what) {
    static const char prefix[] = "qemu_preload: ";
    (void)!write(STDERR_FILENO, prefix, sizeof(prefix) - 1);
    (void)!write(STDERR_FILENO, what, strlen(what));
    (void)!write(STDERR_FILENO, "\n", 1);
}

/* --- fault frames ------------------------------------------------------------------------ */

/* Wine's handlers of the fault signals, by signal number. */
static struct sigaction wine_handlers[NSIG];

static int is_fault_signal(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGTRAP ||
           signal == SIGFPE;
}

static int trap_number(int signal, int code) {
    switch (signal) {
        case SIGSEGV:
            /* The kernel reports protection faults (and bound, into) as SI_KERNEL. */
            return code == SI_KERNEL ? kGeneralProtection : kPageFault;
        case SIGBUS:
            return code == BUS_ADRALN ? kAlignment : kPageFault;
        case SIGILL:
            return kInvalidOpcode;
        case SIGTRAP:
            return code == TRAP_TRACE ? kSingleStep : kBreakpoint;
        default: /* SIGFPE */
            if (code == FPE_INTDIV) {
                return kDivideError;
            }
            return code == FPE_INTOVF ? kOverflow : kFpuError;
    }
}

/* Runs on Wine's signal stack: touches no thread-local data. */
static void call_wine_handler(int signal, siginfo_t* info, void* context) {
    ucontext_t* frame = context;
    frame->uc_mcontext.gregs[REG_TRAPNO] = trap_number(signal, info->si_code);
    wine_handlers[signal].sa_sigaction(signal, info, context);
}

int sigaction(int signal, const struct sigaction* action, struct sigaction* previous) {
    if (!is_fault_signal(signal)) {
        return real_sigaction(signal, action, previous);
    }
    struct sigaction ours;
    const struct sigaction* installed = action;
    const int wrap = action != NULL && (action->sa_flags & SA_SIGINFO) != 0;
    if (wrap) {
        ours = *action;
        ours.sa_sigaction = call_wine_handler;
        installed = &ours;
    }
    const struct sigaction kept = wine_handlers[signal];
    if (wrap) {
        wine_handlers[signal] = *action; /* before the signal can arrive */
    }
    const int result = real_sigaction(signal, installed, previous);
    if (result != 0 && wrap) {
        wine_handlers[signal] = kept;
    }
    if (result == 0 && previous != NULL && (previous->sa_flags & SA_SIGINFO) != 0 &&
        previous->sa_sigaction == call_wine_handler) {
        *previous = kept;
    }
    return result;
}

/* --- thread segments --------------------------------------------------------------------- */

static pthread_mutex_t create_lock = PTHREAD_MUTEX_INITIALIZER;
static int next_gs_entry = kFirstGsEntry;
/* The GDT slot that glibc gave the main thread's %gs; glibc names it again for every new
   thread, and qemu loads the new thread's %gs from it when the thread starts. */
static unsigned short tls_slot_selector;

static unsigned short read_gs(void) {
    unsigned short selector;
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    return selector;
}

static void load_gs(unsigned short selector) {
    __asm__ volatile("movw %0, %%gs" : : "r"(selector) : "memory");
}

/* The calling thread's TLS block: glibc keeps its address in the block's first word. */
static unsigned long tls_block(void) {
    unsigned long address;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(address));
    return address;
}

static struct user_desc data_segment(unsigned entry, unsigned long base) {
    struct user_desc segment;
    memset(&segment, 0, sizeof(segment));
    segment.entry_number = entry;
    segment.base_addr = base;
    segment.limit = 0xfffff;
    segment.seg_32bit = 1;
    segment.limit_in_pages = 1;
    segment.useable = 1;
    return segment;
}

/* Points %gs of the calling thread at an LDT entry of its own that describes its TLS block.
   Called by a thread that nobody else allocates entries for at the same time. */
static void give_thread_own_gs(void) {
    if (next_gs_entry > kLastGsEntry) {
        warn("no LDT entry left for a thread's %gs; it shares the GDT slot");
        return;
    }
    const int entry = next_gs_entry++;
    struct user_desc segment = data_segment(entry, tls_block());
    if (real_syscall(SYS_modify_ldt, 1, &segment, sizeof(segment)) != 0) {
        warn("modify_ldt failed; the thread's %gs stays in the shared GDT slot");
        return;
    }
    load_gs((unsigned short)(entry << 3 | 7)); /* LDT, privilege level 3 */
}

long syscall(long number, ...) {
    va_list list;
    va_start(list, number);
    long arguments[6];
    for (int index = 0; index < 6; ++index) {
        arguments[index] = va_arg(list, long);
    }
    va_end(list);
    if (number == SYS_set_thread_area) {
        errno = ENOSYS;
        return -1;
    }
    return real_syscall(number, arguments[0], arguments[1], arguments[2], arguments[3],
                        arguments[4], arguments[5]);
}

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
    sigset_t mask; /* the creator's signal mask, which the new thread takes on */
    int switched;  /* set by the new thread once it no longer needs the creator */
};

static void* start_with_own_gs(void* data) {
    struct ThreadStart* start = data;
    void* (*routine)(void*) = start->routine;
    void* argument = start->argument;
    sigset_t mask = start->mask;
    give_thread_own_gs();
    __atomic_store_n(&start->switched, 1, __ATOMIC_RELEASE);
    pthread_sigmask(SIG_SETMASK, &mask, NULL);
    return routine(argument);
}

/* The new thread must start with %gs loaded from the shared slot while that slot describes
   its own TLS block, so creations are serialised until the new thread has its own entry, and
   no signal may reload the creator's %gs from the slot in between. */
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                   void* argument) {
    struct ThreadStart start = {routine, argument, {{0}}, 0};
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &start.mask);
    pthread_mutex_lock(&create_lock);
    const unsigned short own = read_gs();
    struct user_desc slot = data_segment(tls_slot_selector >> 3, tls_block());
    real_syscall(SYS_set_thread_area, &slot);
    load_gs(tls_slot_selector);
    const int result = real_pthread_create(thread, attributes, start_with_own_gs, &start);
    load_gs(own);
    while (result == 0 && !__atomic_load_n(&start.switched, __ATOMIC_ACQUIRE)) {
        sched_yield();
    }
    pthread_mutex_unlock(&create_lock);
    pthread_sigmask(SIG_SETMASK, &start.mask, NULL);
    return result;
}

__attribute__((constructor)) static void give_main_thread_own_gs(void) {
    real_sigaction = (SigactionFn*)dlsym(RTLD_NEXT, "sigaction");
    real_syscall = (SyscallFn*)dlsym(RTLD_NEXT, "syscall");
    real_pthread_create = (PthreadCreateFn*)dlsym(RTLD_NEXT, "pthread_create");
    if (real_sigaction == NULL || real_syscall == NULL || real_pthread_create == NULL) {
        warn("the C library's sigaction, syscall or pthread_create is missing");
        _exit(127);
    }
    tls_slot_selector = read_gs();
    give_thread_own_gs();
}
#endif
