/* A null-modem pair of pseudo-terminals whose two directions never hold each other up.
 *
 *   ptybridge LINK_A LINK_B
 *
 * Makes two pty pairs, points LINK_A and LINK_B at their slave sides (raw, no echo) and copies
 * master A to master B and master B to master A, each direction on a thread of its own. A
 * program on one slave writing while the program on the other stops reading fills only the
 * direction towards the stalled side: a write that blocks there holds up nothing coming the
 * other way, as on a real cable. (A single loop moving both directions would stop the other
 * direction while it waits to write, and deliver a pause the sender made as no pause at all.)
 *
 * Each read is written on at once, so the pauses a sender makes reach the other side. The
 * bridge keeps both slaves open itself: a side may be closed and opened again by its program
 * while the pair lives. SIGTERM or SIGINT removes the links and ends the bridge; so does a
 * failed read or write. The links appear only once both directions run.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

struct side {
    int master;
    int slave;  /* held open for the life of the bridge */
    char name[128];
};

struct direction {
    int from;
    int to;
};

static const char *g_links[2];

static void remove_links(void)
{
    for (int i = 0; i < 2; ++i)
        if (g_links[i])
            unlink(g_links[i]);
}

static void on_signal(int sig)
{
    (void)sig;
    remove_links();
    _exit(0);
}

static void fail(const char *what)
{
    fprintf(stderr, "ptybridge: %s: %s\n", what, strerror(errno));
    remove_links();
    exit(1);
}

static void open_side(struct side *s)
{
    s->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (s->master < 0 || grantpt(s->master) != 0 || unlockpt(s->master) != 0)
        fail("posix_openpt");
    if (ptsname_r(s->master, s->name, sizeof s->name) != 0)
        fail("ptsname");
    s->slave = open(s->name, O_RDWR | O_NOCTTY);
    if (s->slave < 0)
        fail(s->name);
    struct termios t;
    if (tcgetattr(s->slave, &t) != 0)
        fail("tcgetattr");
    cfmakeraw(&t);
    if (tcsetattr(s->slave, TCSANOW, &t) != 0)
        fail("tcsetattr");
}

/* LINK -> the slave's name, replacing whatever LINK was (a link left by an earlier run). */
static void make_link(const char *target, const char *link)
{
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp.%d", link, (int)getpid());
    unlink(tmp);
    if (symlink(target, tmp) != 0 || rename(tmp, link) != 0)
        fail(link);
}

static void *copy_loop(void *param)
{
    const struct direction *d = param;
    char buf[4096];
    for (;;) {
        ssize_t n = read(d->from, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            fail("read");
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(d->to, buf + done, (size_t)(n - done));
            if (w < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (w <= 0)
                fail("write");
            done += w;
        }
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: ptybridge LINK_A LINK_B\n");
        return 2;
    }
    struct side a, b;
    open_side(&a);
    open_side(&b);

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    static struct direction a_to_b, b_to_a;
    a_to_b.from = a.master;
    a_to_b.to = b.master;
    b_to_a.from = b.master;
    b_to_a.to = a.master;
    pthread_t t1, t2;
    if (pthread_create(&t1, NULL, copy_loop, &a_to_b) != 0 ||
        pthread_create(&t2, NULL, copy_loop, &b_to_a) != 0)
        fail("pthread_create");

    g_links[0] = argv[1];
    g_links[1] = argv[2];
    make_link(a.name, argv[1]);
    make_link(b.name, argv[2]);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    return 0;
}
