/*
 * Preloaded into the portal backend of the test desktop (wlroots'
 * xdg-desktop-portal-wlr 0.7.0). That version insists on a DMA-BUF format
 * from wlr_screencopy whenever the portal's ScreenCast interface is version 3
 * or later, which a compositor on the pixman renderer never offers, so Start
 * fails with "unable to receive a valid format from wlr_screencopy". This
 * library hands the backend a linux_dmabuf event carrying the shared-memory
 * buffer's format right after each buffer event; with no GPU to allocate
 * DMA-BUFs the backend then streams shared memory, as the test needs.
 *
 * Only wl_proxy_add_listener is wrapped, and only for screencopy frames;
 * libwayland is looked up at run time, so other programs are unaffected.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
typedef void (*Implementation)(void);

/* zwlr_screencopy_frame_v1 events in protocol order (version 3). */
struct FrameListener
{
    void (*buffer)(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width, uint32_t height,
                   uint32_t stride);
    void (*flags)(void *data, struct wl_proxy *frame, uint32_t flags);
    void (*ready)(void *data, struct wl_proxy *frame, uint32_t sec_hi, uint32_t sec_lo, uint32_t nsec);
    void (*failed)(void *data, struct wl_proxy *frame);
    void (*damage)(void *data, struct wl_proxy *frame, uint32_t x, uint32_t y, uint32_t w, uint32_t h);
    void (*linux_dmabuf)(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width, uint32_t height);
    void (*buffer_done)(void *data, struct wl_proxy *frame);
};

/* The backend uses one listener for every frame. */
static const struct FrameListener *original;

/* wl_shm formats are DRM fourccs except the two oldest ones. */
static uint32_t drmFourcc(uint32_t shm)
{
    if (shm == 0)
        return 0x34325241; /* AR24 */
    if (shm == 1)
        return 0x34325258; /* XR24 */
    return shm;
}

static void onBuffer(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width, uint32_t height,
                     uint32_t stride)
{
    if (original->buffer)
        original->buffer(data, frame, format, width, height, stride);
    if (original->linux_dmabuf)
        original->linux_dmabuf(data, frame, drmFourcc(format), width, height);
}

static void onFlags(void *data, struct wl_proxy *frame, uint32_t flags)
{
    if (original->flags)
        original->flags(data, frame, flags);
}

static void onReady(void *data, struct wl_proxy *frame, uint32_t hi, uint32_t lo, uint32_t nsec)
{
    if (original->ready)
        original->ready(data, frame, hi, lo, nsec);
}

static void onFailed(void *data, struct wl_proxy *frame)
{
    if (original->failed)
        original->failed(data, frame);
}

static void onDamage(void *data, struct wl_proxy *frame, uint32_t x, uint32_t y, uint32_t w, uint32_t h)
{
    if (original->damage)
        original->damage(data, frame, x, y, w, h);
}

static void onDmabuf(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width, uint32_t height)
{
    if (original->linux_dmabuf)
        original->linux_dmabuf(data, frame, format, width, height);
}

static void onBufferDone(void *data, struct wl_proxy *frame)
{
    if (original->buffer_done)
        original->buffer_done(data, frame);
}

static const struct FrameListener wrapper = {onBuffer, onFlags, onReady, onFailed, onDamage, onDmabuf, onBufferDone};

int wl_proxy_add_listener(struct wl_proxy *proxy, Implementation *implementation, void *data)
{
    static int (*next)(struct wl_proxy *, Implementation *, void *);
    static const char *(*proxyClass)(struct wl_proxy *);
    if (!next)
        next = (int (*)(struct wl_proxy *, Implementation *, void *))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
    if (!proxyClass)
        proxyClass = (const char *(*)(struct wl_proxy *))dlsym(RTLD_DEFAULT, "wl_proxy_get_class");
    if (proxyClass && strcmp(proxyClass(proxy), "zwlr_screencopy_frame_v1") == 0) {
        original = (const struct FrameListener *)implementation;
        implementation = (Implementation *)&wrapper;
    }
    return next(proxy, implementation, data);
}
