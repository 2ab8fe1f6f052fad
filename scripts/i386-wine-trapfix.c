/* Preloaded into every process of the i386 root (its /etc/ld.so.preload; the host is not
 * touched). qemu-i386 delivers a fault's signal with the trap number -1 in the signal
 * context, and Wine decides by that number what the fault was: every access violation
 * would reach the program as an illegal instruction, and every division by zero as a
 * floating-point fault. This wrapper of sigaction puts back the number a real processor
 * gives, from the signal and its code, before Wine's handler runs.
 * Built freestanding with the host compiler (gcc -m32): it needs no i386 headers. */

#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define SA_SIGINFO 4
#define SI_KERNEL 0x80
#define SEGV_MAPERR 1
#define SEGV_ACCERR 2
#define FPE_INTDIV 1
#define FPE_INTOVF 2
#define FPE_FLTDIV 3

#define TRAP_DIVIDE 0
#define TRAP_OFLOW 4
#define TRAP_PROTFLT 13
#define TRAP_PAGEFLT 14
#define TRAP_ARITHTRAP 16
#define TRAP_ALIGNFLT 17

/* The i386 layouts of glibc's struct sigaction and of the kernel's ucontext. */
struct user_sigaction {
    void *handler;
    unsigned int mask[32];
    int flags;
    void (*restorer)(void);
};
#define UC_GREGS_OFFSET 20 /* uc_flags, uc_link, uc_stack */
#define REG_TRAPNO 12

typedef void (*siginfo_handler)(int, void *, void *);
extern void *dlsym(void *, const char *);
#define RTLD_NEXT ((void *)-1l)

static siginfo_handler g_handlers[32];

static int trap_of(int sig, int code)
{
    switch (sig) {
    case SIGSEGV:
        return code == SEGV_MAPERR || code == SEGV_ACCERR ? TRAP_PAGEFLT : TRAP_PROTFLT;
    case SIGFPE:
        return code == FPE_INTDIV ? TRAP_DIVIDE : code == FPE_INTOVF ? TRAP_OFLOW : TRAP_ARITHTRAP;
    default:
        return TRAP_ALIGNFLT;
    }
}

static void fixed_handler(int sig, void *info, void *uc)
{
    int *gregs = (int *)((char *)uc + UC_GREGS_OFFSET);
    if (gregs[REG_TRAPNO] == -1 && info) {
        int code = ((int *)info)[2]; /* si_signo, si_errno, si_code */
        gregs[REG_TRAPNO] = trap_of(sig, code);
    }
    g_handlers[sig](sig, info, uc);
}

int sigaction(int sig, const struct user_sigaction *act, struct user_sigaction *old)
{
    static int (*real)(int, const struct user_sigaction *, struct user_sigaction *);
    if (!real)
        real = (int (*)(int, const struct user_sigaction *, struct user_sigaction *))dlsym(RTLD_NEXT, "sigaction");
    if (act && (sig == SIGSEGV || sig == SIGFPE || sig == SIGBUS) && (act->flags & SA_SIGINFO) &&
        (unsigned long)act->handler > 1) {
        struct user_sigaction wrapped = *act;
        g_handlers[sig] = (siginfo_handler)act->handler;
        wrapped.handler = (void *)fixed_handler;
        return real(sig, &wrapped, old);
    }
    return real(sig, act, old);
}
