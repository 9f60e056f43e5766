// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio backend: devices are the server's sources (monitors included, so that what
// the computer plays can be recorded), named by their descriptions; device -1 is the
// default source. One threaded main loop per connection runs every callback off the UI
// thread; calls from the UI thread take the main loop's lock only for the duration of a
// request and wait for its answer at most kUiWaitLimit. A request that was not answered
// in time marks the server as not answering: later requests then fail (or answer from
// what was listed before) at once, until a probe sent to the server is answered again.
//
// Capture: a record stream per open device, started corked. Its read callback copies the
// incoming fragments into the queued buffers; when none is queued it keeps the fragment
// (neither drops nor skips it) and waits for the next BufferQueued, so audio waits in the
// stream. Stopping corks the stream and, once the server has acknowledged that, keeps
// handing over what had arrived before (the server sends everything captured before it
// answers); only a reset, or a server that does not answer, throws it away. When the client-side record buffer nevertheless fills to its maximum (the server
// then drops audio), one overrun is counted. A stream that fails or is killed (source
// removed, server gone), or whose server leaves a ping unanswered for kServerSilenceLimit,
// reports the loss to the sink. Stopping a stream whose server does not answer closes it
// on this side only.
//
// Mixer: the source's ports are the lines; a source without ports offers one line named
// after the source. The line volume is the source volume on the raw scale of
// ServerVolumeFromRaw (65535 = 100 %, so that a recording at full volume is the source's
// samples unchanged). A mixer keeps the source's details (lines, active port, volume) and
// refreshes them on the server's change events, so reading them costs no round trip and
// a volume write is sent without waiting for its answer.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/Backend.h"
#include "platform/audio/Mixer.h"

namespace tavrino::audio {

namespace {

constexpr pa_usec_t kUiWaitLimit = kServerWaitLimitMs * PA_USEC_PER_MSEC;  // [us] longest wait for an answer
constexpr pa_usec_t kPingInterval = 1 * PA_USEC_PER_SEC;        // [us] between pings while a stream is open
constexpr pa_usec_t kServerSilenceLimit = 3 * PA_USEC_PER_SEC;  // [us] unanswered ping: the server is lost

struct SourceEntry {
    uint32_t index = 0;
    std::string name;
    std::string description;
    bool monitor = false;
};

struct SourceDetails {
    uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    bool monitor = false;
    pa_cvolume volume{};
    std::vector<std::string> portNames;
    std::vector<std::string> portDescriptions;
    int32_t activePort = 0;
};

// Watches one source's change events (main loop thread, main loop locked).
class SourceWatcher {
public:
    virtual ~SourceWatcher() = default;
    virtual uint32_t SourceIndex() const = 0;
    virtual void SourceChanged(bool removed) = 0;
};

// A threaded main loop with its context. Shared by the backend and by every stream and
// mixer opened on it, so that it outlives them; a failed connection is replaced by a new
// one on the next request, while the old one lives on until its last stream is closed.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    ~Connection() {
        if (loop_ == nullptr) return;
        pa_threaded_mainloop_stop(loop_);
        if (context_ != nullptr) {
            if (probe_ != nullptr) {
                pa_operation_cancel(probe_);
                pa_operation_unref(probe_);
            }
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        pa_threaded_mainloop_free(loop_);
    }

    // Connects; false when the server cannot be reached in time (Error() says why).
    bool Connect(const std::string& server) {
        loop_ = pa_threaded_mainloop_new();
        if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) {
            error_ = "cannot start the PulseAudio main loop";
            return false;
        }
        Lock lock(loop_);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tavrino");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "tavrino");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Tavrino", props);
        pa_proplist_free(props);
        if (context_ == nullptr) {
            error_ = "cannot create a PulseAudio context";
            return false;
        }
        pa_context_set_state_callback(context_, &Connection::OnContextState, this);
        if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) <
            0) {
            error_ = pa_strerror(pa_context_errno(context_));
            return false;
        }
        WaitLocked([this] {
            const pa_context_state_t s = pa_context_get_state(context_);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state != PA_CONTEXT_READY) {
            error_ = PA_CONTEXT_IS_GOOD(state) ? pa_strerror(PA_ERR_TIMEOUT) : pa_strerror(pa_context_errno(context_));
            return false;
        }
        pa_context_set_subscribe_callback(context_, &Connection::OnEvent, this);
        if (pa_operation* op = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr))
            pa_operation_unref(op);
        return true;
    }

    const std::string& Error() const { return error_; }

    bool Good() {
        if (loop_ == nullptr || context_ == nullptr) return false;
        Lock lock(loop_);
        return pa_context_get_state(context_) == PA_CONTEXT_READY;
    }

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

    // Holds the main loop's lock for a scope.
    struct Lock {
        explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
        ~Lock() { pa_threaded_mainloop_unlock(loop); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        pa_threaded_mainloop* loop;
    };

    // Waits (main loop locked) until `done` holds, at most kUiWaitLimit, and not at all
    // while the server is known not to answer; every callback of this backend signals the
    // loop. True if `done` holds. A wait that runs out marks the server as not answering.
    bool WaitLocked(const std::function<bool()>& done) {
        if (done()) return true;
        if (!answering_) return false;
        bool timedOut = false;
        struct Timer {
            bool* flag;
            pa_threaded_mainloop* loop;
        } timer{&timedOut, loop_};
        timeval tv{};
        pa_timeval_add(pa_gettimeofday(&tv), kUiWaitLimit);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        pa_time_event* ev = api->time_new(
            api, &tv,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
                auto* t = static_cast<Timer*>(userdata);
                *t->flag = true;
                pa_threaded_mainloop_signal(t->loop, 0);
            },
            &timer);
        while (!done() && !timedOut) pa_threaded_mainloop_wait(loop_);
        api->time_free(ev);
        if (done()) return true;
        NotAnsweringLocked();
        return false;
    }

    // The server let a request go unanswered: later waits end at once until the answer to
    // a probe shows it alive again (main loop locked).
    void NotAnsweringLocked() {
        answering_ = false;
        ProbeLocked();
    }

    // Runs an operation to its end (main loop locked); false if it could not complete.
    bool RunLocked(pa_operation* op) {
        if (op == nullptr) return false;
        const bool finished = WaitLocked([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!finished) pa_operation_cancel(op);
        pa_operation_unref(op);
        return finished;
    }

    static void Signal(void* self) { pa_threaded_mainloop_signal(static_cast<Connection*>(self)->loop_, 0); }

    // The server's sources, in index order; `out` is left as it was if they cannot be listed.
    bool ListSources(std::vector<SourceEntry>& out) {
        Lock lock(loop_);
        struct Ctx {
            Connection* self;
            std::vector<SourceEntry> list;
        } ctx{this, {}};
        pa_operation* op = pa_context_get_source_info_list(
            context_,
            [](pa_context*, const pa_source_info* i, int eol, void* userdata) {
                auto* c = static_cast<Ctx*>(userdata);
                if (eol == 0 && i != nullptr) {
                    c->list.push_back(SourceEntry{i->index, i->name ? i->name : "",
                                                  i->description ? i->description : (i->name ? i->name : ""),
                                                  i->monitor_of_sink != PA_INVALID_INDEX});
                }
                if (eol != 0) Signal(c->self);
            },
            &ctx);
        if (!RunLocked(op)) return false;
        std::sort(ctx.list.begin(), ctx.list.end(),
                  [](const SourceEntry& a, const SourceEntry& b) { return a.index < b.index; });
        out = std::move(ctx.list);
        return true;
    }

    // The name of the default source ("" if none or no answer).
    std::string DefaultSourceName() {
        Lock lock(loop_);
        struct Ctx {
            Connection* self;
            std::string name;
        } ctx{this, {}};
        pa_operation* op = pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info* i, void* userdata) {
                auto* c = static_cast<Ctx*>(userdata);
                if (i != nullptr && i->default_source_name != nullptr) c->name = i->default_source_name;
                Signal(c->self);
            },
            &ctx);
        return RunLocked(op) ? ctx.name : std::string();
    }

    static void ReadDetails(const pa_source_info& i, SourceDetails& s) {
        s.index = i.index;
        s.name = i.name ? i.name : "";
        s.description = i.description ? i.description : s.name;
        s.monitor = i.monitor_of_sink != PA_INVALID_INDEX;
        s.volume = i.volume;
        s.portNames.clear();
        s.portDescriptions.clear();
        s.activePort = 0;
        for (uint32_t p = 0; p < i.n_ports; ++p) {
            s.portNames.emplace_back(i.ports[p]->name ? i.ports[p]->name : "");
            s.portDescriptions.emplace_back(i.ports[p]->description ? i.ports[p]->description : s.portNames.back());
            if (i.active_port == i.ports[p]) s.activePort = static_cast<int32_t>(p);
        }
    }

    bool SourceByName(const std::string& name, SourceDetails& d) {
        Lock lock(loop_);
        struct Ctx {
            Connection* self;
            SourceDetails* d;
            bool found;
        } ctx{this, &d, false};
        pa_operation* op = pa_context_get_source_info_by_name(
            context_, name.c_str(),
            [](pa_context*, const pa_source_info* i, int eol, void* userdata) {
                auto* c = static_cast<Ctx*>(userdata);
                if (eol == 0 && i != nullptr) {
                    c->found = true;
                    ReadDetails(*i, *c->d);
                }
                if (eol != 0) Signal(c->self);
            },
            &ctx);
        return RunLocked(op) && ctx.found;
    }

    // Runs a request answered by a success flag (main loop locked).
    bool RequestLocked(const std::function<pa_operation*(pa_context_success_cb_t, void*)>& start) {
        struct Ctx {
            Connection* self;
            bool success;
        } ctx{this, false};
        pa_operation* op = start(
            [](pa_context*, int success, void* userdata) {
                auto* c = static_cast<Ctx*>(userdata);
                c->success = success != 0;
                Signal(c->self);
            },
            &ctx);
        return RunLocked(op) && ctx.success;
    }

    // Change events of a source go to its watchers (main loop locked).
    void AddWatcherLocked(SourceWatcher* w) { watchers_.push_back(w); }
    void RemoveWatcherLocked(SourceWatcher* w) { std::erase(watchers_, w); }

private:
    // Asks the server for a sign of life; its answer marks the server as answering again.
    void ProbeLocked() {
        if (probe_ != nullptr) return;
        probe_ = pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info*, void* userdata) {
                auto* self = static_cast<Connection*>(userdata);
                self->answering_ = true;
                pa_operation_unref(self->probe_);
                self->probe_ = nullptr;
                Signal(self);
            },
            this);
    }

    // A connection that failed (the server went away) takes every source with it.
    static void OnContextState(pa_context* c, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) {
            for (SourceWatcher* w : self->watchers_) w->SourceChanged(true);
        }
        Signal(self);
    }

    static void OnEvent(pa_context*, pa_subscription_event_type_t t, uint32_t index, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SOURCE) return;
        const bool removed = (t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
        for (SourceWatcher* w : self->watchers_)
            if (w->SourceIndex() == index) w->SourceChanged(removed);
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::string error_;                  // why Connect failed
    std::atomic<bool> answering_{true};  // false after a wait ran out, until the probe's answer
    pa_operation* probe_ = nullptr;      // main loop locked
    std::vector<SourceWatcher*> watchers_;  // main loop locked
};

// One record stream.
class PulseStream final : public CaptureStream {
public:
    PulseStream(std::shared_ptr<Connection> conn, StreamSink& sink) : conn_(std::move(conn)), sink_(sink) {}

    ~PulseStream() override {
        Connection::Lock lock(conn_->loop());
        if (pingTimer_ != nullptr) pa_threaded_mainloop_get_api(conn_->loop())->time_free(pingTimer_);
        if (ping_ != nullptr) {
            pa_operation_cancel(ping_);
            pa_operation_unref(ping_);
        }
        if (stream_ == nullptr) return;
        // Closing is local: nothing here waits for the server.
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        if (peekData_ != nullptr) pa_stream_drop(stream_);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }

    MMRESULT Connect(const char* source, int32_t rate, int16_t channels) {
        Connection::Lock lock(conn_->loop());
        pa_sample_spec ss{PA_SAMPLE_S16LE, static_cast<uint32_t>(rate), static_cast<uint8_t>(channels)};
        stream_ = pa_stream_new(conn_->context(), "Tavrino recording", &ss, nullptr);
        if (stream_ == nullptr) return MMSYSERR_NOMEM;
        pa_stream_set_state_callback(stream_, &PulseStream::OnState, this);
        pa_stream_set_read_callback(stream_, &PulseStream::OnRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);  // as much as the server allows: audio waits here
        // Audio per read callback (CaptureFragmentMs, Backend.h).
        const auto fragment = static_cast<pa_usec_t>(CaptureFragmentMs()) * PA_USEC_PER_MSEC;
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragment, &ss));
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
        if (source != nullptr) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_, source, &attr, flags) < 0) return MMSYSERR_NODRIVER;
        conn_->WaitLocked([this] {
            const pa_stream_state_t s = pa_stream_get_state(stream_);
            return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
        });
        if (pa_stream_get_state(stream_) != PA_STREAM_READY) return MMSYSERR_NODRIVER;
        if (const pa_buffer_attr* a = pa_stream_get_buffer_attr(stream_)) maxlength_ = a->maxlength;
        ready_ = true;
        corked_ = true;
        SchedulePingLocked();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Start() override {
        detached_ = false;
        return Cork(false) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    }

    // Once the server has acknowledged the pause, everything it captured before has arrived
    // here: it is handed over as far as the queued buffers go, the rest as more are queued.
    // A server that does not answer in time: this side takes nothing more.
    MMRESULT Stop() override {
        if (!Cork(true)) {
            detached_ = true;
            Discard();
            return MMSYSERR_NOERROR;
        }
        Connection::Lock lock(conn_->loop());
        DrainLocked();
        return MMSYSERR_NOERROR;
    }

    void Reset() override {
        if (!Cork(true)) detached_ = true;
        Discard();
    }

    void BufferQueued() override {
        if (!stalled_.load()) return;
        Connection::Lock lock(conn_->loop());
        DrainLocked();
    }

    uint32_t Overruns() const override { return overruns_.load(); }

    void Fragment(int ms) override {
        Connection::Lock lock(conn_->loop());
        if (!ready_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
        const pa_buffer_attr* now = pa_stream_get_buffer_attr(stream_);
        if (now == nullptr) return;
        pa_buffer_attr attr = *now;
        const auto fragment = static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC;
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragment, pa_stream_get_sample_spec(stream_)));
        // Not waited for: until the server answers, the pieces keep their old size.
        if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr)) pa_operation_unref(op);
    }

private:
    // Asks the server to (un)cork and waits for its answer (at most kUiWaitLimit); a stream
    // already asked for that state asks nothing and returns the answer it had.
    bool Cork(bool cork) {
        Connection::Lock lock(conn_->loop());
        if (!ready_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return false;
        if (corked_ == cork) return corkAnswered_;
        corked_ = cork;
        struct Ctx {
            Connection* c;
            bool ok;
        } ctx{conn_.get(), false};
        pa_operation* op = pa_stream_cork(
            stream_, cork ? 1 : 0,
            [](pa_stream*, int success, void* userdata) {
                auto* x = static_cast<Ctx*>(userdata);
                x->ok = success != 0;
                Connection::Signal(x->c);
            },
            &ctx);
        corkAnswered_ = conn_->RunLocked(op) && ctx.ok;
        return corkAnswered_;
    }

    // Throws away what the stream holds (after a cork).
    void Discard() {
        Connection::Lock lock(conn_->loop());
        if (peekData_ != nullptr) {
            pa_stream_drop(stream_);
            peekData_ = nullptr;
        }
        stalled_ = false;
        if (ready_ && pa_stream_get_state(stream_) == PA_STREAM_READY) {
            while (pa_stream_readable_size(stream_) > 0) {
                const void* data = nullptr;
                size_t len = 0;
                if (pa_stream_peek(stream_, &data, &len) < 0 || len == 0) break;
                pa_stream_drop(stream_);
            }
        }
    }

    // Hands the stream's audio to the sink until either runs dry (main loop locked).
    void DrainLocked() {
        if (detached_ || stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
        while (true) {
            if (peekData_ == nullptr) {
                const void* data = nullptr;
                size_t len = 0;
                if (pa_stream_peek(stream_, &data, &len) < 0 || len == 0) break;
                if (data == nullptr) {  // a hole: audio the server could not deliver
                    ++overruns_;
                    pa_stream_drop(stream_);
                    continue;
                }
                peekData_ = static_cast<const uint8_t*>(data);
                peekLen_ = len;
                peekOff_ = 0;
            }
            peekOff_ += sink_.Write(peekData_ + peekOff_, peekLen_ - peekOff_);
            if (peekOff_ < peekLen_) {  // no buffer queued: keep the rest in the stream
                stalled_ = true;
                CheckOverrunLocked();
                return;
            }
            pa_stream_drop(stream_);
            peekData_ = nullptr;
        }
        stalled_ = false;
        overrunEpisode_ = false;
    }

    void CheckOverrunLocked() {
        const size_t readable = pa_stream_readable_size(stream_);
        if (readable == static_cast<size_t>(-1)) return;
        const size_t full = maxlength_ > 0 ? maxlength_ : 4u << 20;
        if (readable + peekLen_ >= full - std::min<size_t>(full, 2 * 1024 * 8)) {
            if (!overrunEpisode_) ++overruns_;
            overrunEpisode_ = true;
        }
    }

    // The ping: every kPingInterval, one request to the server; one left unanswered for
    // kServerSilenceLimit means the server hangs, which the sink hears as a lost device
    // (main loop thread, main loop locked).
    void SchedulePingLocked() {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(conn_->loop());
        timeval tv{};
        pa_timeval_add(pa_gettimeofday(&tv), kPingInterval);
        if (pingTimer_ == nullptr) {
            pingTimer_ = api->time_new(api, &tv, &PulseStream::OnPingTimer, this);
        } else {
            api->time_restart(pingTimer_, &tv);
        }
    }

    static void OnPingTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* self = static_cast<PulseStream*>(userdata);
        timeval now{};
        pa_gettimeofday(&now);
        if (self->ping_ != nullptr) {
            if (pa_timeval_diff(&now, &self->pingSent_) >= kServerSilenceLimit && !self->silenceReported_) {
                self->silenceReported_ = true;
                self->conn_->NotAnsweringLocked();
                self->sink_.Lost();
            }
        } else {
            self->pingSent_ = now;
            self->ping_ = pa_context_get_server_info(
                self->conn_->context(),
                [](pa_context*, const pa_server_info*, void* ud) {
                    auto* s = static_cast<PulseStream*>(ud);
                    pa_operation_unref(s->ping_);
                    s->ping_ = nullptr;
                },
                self);
        }
        self->SchedulePingLocked();
    }

    static void OnRead(pa_stream*, size_t, void* self) { static_cast<PulseStream*>(self)->DrainLocked(); }

    static void OnState(pa_stream* s, void* userdata) {
        auto* self = static_cast<PulseStream*>(userdata);
        const pa_stream_state_t st = pa_stream_get_state(s);
        if (self->ready_ && (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED)) self->sink_.Lost();
        Connection::Signal(self->conn_.get());
    }

    std::shared_ptr<Connection> conn_;
    StreamSink& sink_;
    pa_stream* stream_ = nullptr;
    bool ready_ = false;
    bool corked_ = true;  // as last asked of the server
    bool corkAnswered_ = true;  // whether the server acknowledged that
    std::atomic<bool> detached_{false};  // stopped without the server's answer: no more audio
    uint32_t maxlength_ = 0;
    // The fragment being handed over (main loop locked).
    const uint8_t* peekData_ = nullptr;
    size_t peekLen_ = 0;
    size_t peekOff_ = 0;
    bool overrunEpisode_ = false;
    std::atomic<bool> stalled_{false};
    std::atomic<uint32_t> overruns_{0};
    // The ping (main loop locked).
    pa_time_event* pingTimer_ = nullptr;
    pa_operation* ping_ = nullptr;
    timeval pingSent_{};
    bool silenceReported_ = false;
};

// The mixer of one source, over a copy of the source's details that the server's change
// events keep up to date. Reads take the main loop's lock only; a volume write is sent and
// not waited for; selecting a port waits for its answer (at most kUiWaitLimit).
class PulseMixer final : public DeviceMixer, public SourceWatcher {
public:
    PulseMixer(std::shared_ptr<Connection> conn, SourceDetails details)
        : conn_(std::move(conn)), d_(std::move(details)) {
        Connection::Lock lock(conn_->loop());
        conn_->AddWatcherLocked(this);
    }

    ~PulseMixer() override {
        Connection::Lock lock(conn_->loop());
        conn_->RemoveWatcherLocked(this);
        CancelRefreshLocked();
    }

    std::string Name() override {
        Connection::Lock lock(conn_->loop());
        return gone_ ? std::string() : d_.description;
    }

    bool Lines(std::vector<LineInfo>& lines) override {
        Connection::Lock lock(conn_->loop());
        if (gone_) return false;
        lines.clear();
        const uint32_t ch = std::max<uint32_t>(1, d_.volume.channels);
        if (d_.portNames.empty()) {
            lines.push_back(LineInfo{
                d_.description, d_.monitor ? MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT : ComponentTypeForName(d_.description),
                ch});
        } else {
            for (size_t p = 0; p < d_.portNames.size(); ++p) {
                const uint32_t type = ComponentTypeForName(d_.portNames[p] + " " + d_.portDescriptions[p]);
                lines.push_back(LineInfo{d_.portDescriptions[p], type, ch});
            }
        }
        return true;
    }

    int32_t ActiveLine() override {
        Connection::Lock lock(conn_->loop());
        return gone_ ? -1 : d_.activePort;
    }

    bool SelectLine(int32_t line) override {
        Connection::Lock lock(conn_->loop());
        if (gone_) return false;
        if (d_.portNames.empty()) return line == 0;  // the one line is always the selected one
        if (line < 0 || line >= static_cast<int32_t>(d_.portNames.size())) return false;
        const std::string port = d_.portNames[static_cast<size_t>(line)];
        const bool ok = conn_->RequestLocked([&](pa_context_success_cb_t cb, void* ud) {
            return pa_context_set_source_port_by_index(conn_->context(), d_.index, port.c_str(), cb, ud);
        });
        if (ok) d_.activePort = line;
        return ok;
    }

    bool GetVolume(int32_t line, std::span<uint32_t> values) override {
        Connection::Lock lock(conn_->loop());
        if (gone_ || !LineExists(line) || d_.volume.channels == 0) return false;
        for (size_t c = 0; c < values.size(); ++c)
            values[c] = RawFromServerVolume(d_.volume.values[std::min<size_t>(c, d_.volume.channels - 1u)]);
        return true;
    }

    bool SetVolume(int32_t line, std::span<const uint32_t> values) override {
        Connection::Lock lock(conn_->loop());
        if (gone_ || !LineExists(line) || d_.volume.channels == 0 || values.empty()) return false;
        pa_cvolume cv = d_.volume;
        for (uint8_t c = 0; c < cv.channels; ++c)
            cv.values[c] = ServerVolumeFromRaw(values[std::min<size_t>(c, values.size() - 1)]);
        pa_operation* op = pa_context_set_source_volume_by_index(conn_->context(), d_.index, &cv, nullptr, nullptr);
        if (op == nullptr) return false;
        pa_operation_unref(op);  // sent; the change event brings the server's own view back
        d_.volume = cv;
        return true;
    }

    uint32_t SourceIndex() const override { return d_.index; }

    void SourceChanged(bool removed) override {
        if (removed) {
            gone_ = true;
            CancelRefreshLocked();
            return;
        }
        CancelRefreshLocked();
        refresh_ = pa_context_get_source_info_by_index(
            conn_->context(), d_.index,
            [](pa_context*, const pa_source_info* i, int eol, void* userdata) {
                auto* self = static_cast<PulseMixer*>(userdata);
                if (eol == 0 && i != nullptr) {
                    Connection::ReadDetails(*i, self->d_);
                } else if (eol != 0 && self->refresh_ != nullptr) {
                    pa_operation_unref(self->refresh_);
                    self->refresh_ = nullptr;
                }
            },
            this);
    }

private:
    void CancelRefreshLocked() {
        if (refresh_ == nullptr) return;
        pa_operation_cancel(refresh_);
        pa_operation_unref(refresh_);
        refresh_ = nullptr;
    }

    bool LineExists(int32_t line) const {
        const int32_t n = d_.portNames.empty() ? 1 : static_cast<int32_t>(d_.portNames.size());
        return line >= 0 && line < n;
    }

    std::shared_ptr<Connection> conn_;
    // Main loop locked: the source as last seen, whether it was removed, the pending refresh.
    SourceDetails d_;
    bool gone_ = false;
    pa_operation* refresh_ = nullptr;
};

class PulseBackend final : public Backend {
public:
    explicit PulseBackend(std::string server) : server_(std::move(server)) {}

    std::string Name() const override { return "pulse"; }

    int32_t DeviceCount() override {
        std::lock_guard lock(mutex_);
        RefreshLocked();
        return static_cast<int32_t>(sources_.size());
    }

    std::string DeviceName(int32_t index) override {
        std::lock_guard lock(mutex_);
        if (!listed_) RefreshLocked();
        if (index < 0 || index >= static_cast<int32_t>(sources_.size())) return {};
        return sources_[static_cast<size_t>(index)].description;
    }

    MMRESULT Open(int32_t index, int32_t rate, int16_t channels, StreamSink& sink,
                  std::unique_ptr<CaptureStream>& stream) override {
        std::string source;
        std::shared_ptr<Connection> conn;
        {
            std::lock_guard lock(mutex_);
            conn = ConnectionLocked();
            if (!conn) return MMSYSERR_NODRIVER;
            if (index != WAVE_MAPPER) {
                if (!listed_) RefreshLocked();
                if (index < 0 || index >= static_cast<int32_t>(sources_.size())) return MMSYSERR_BADDEVICEID;
                source = sources_[static_cast<size_t>(index)].name;
            }
        }
        auto s = std::make_unique<PulseStream>(conn, sink);
        const MMRESULT r = s->Connect(index == WAVE_MAPPER ? nullptr : source.c_str(), rate, channels);
        if (r != MMSYSERR_NOERROR) return r;
        stream = std::move(s);
        return MMSYSERR_NOERROR;
    }

    std::unique_ptr<DeviceMixer> OpenMixer(int32_t index) override {
        std::lock_guard lock(mutex_);
        auto conn = ConnectionLocked();
        if (!conn) return nullptr;
        std::string source;
        if (index == WAVE_MAPPER) {
            source = conn->DefaultSourceName();
        } else {
            if (!listed_) RefreshLocked();
            if (index < 0 || index >= static_cast<int32_t>(sources_.size())) return nullptr;
            source = sources_[static_cast<size_t>(index)].name;
        }
        SourceDetails details;
        if (source.empty() || !conn->SourceByName(source, details)) return nullptr;
        return std::make_unique<PulseMixer>(conn, std::move(details));
    }

    int32_t DefaultDevice() override {
        std::lock_guard lock(mutex_);
        auto conn = ConnectionLocked();
        if (!conn) return -1;
        if (!listed_) RefreshLocked();
        const std::string name = conn->DefaultSourceName();
        for (size_t i = 0; i < sources_.size(); ++i) {
            if (sources_[i].name == name) return static_cast<int32_t>(i);
        }
        return -1;
    }

    std::string DeviceId(int32_t index) override {
        std::lock_guard lock(mutex_);
        if (!listed_) RefreshLocked();
        if (index < 0 || index >= static_cast<int32_t>(sources_.size())) return {};
        return sources_[static_cast<size_t>(index)].name;
    }

    std::string ServerError() override {
        std::lock_guard lock(mutex_);
        return ConnectionLocked() ? std::string() : error_;
    }

private:
    // The live connection, made anew when there is none or the last one failed.
    std::shared_ptr<Connection> ConnectionLocked() {
        if (conn_ && conn_->Good()) return conn_;
        conn_.reset();
        auto c = std::make_shared<Connection>();
        if (!c->Connect(server_)) {
            error_ = c->Error();
            return nullptr;
        }
        error_.clear();
        conn_ = std::move(c);
        return conn_;
    }

    // Lists the sources again; without a connection there are none, and a server that does
    // not answer leaves the list as it was.
    void RefreshLocked() {
        listed_ = true;
        auto conn = ConnectionLocked();
        if (!conn) {
            sources_.clear();
            return;
        }
        conn->ListSources(sources_);
    }

    const std::string server_;
    std::mutex mutex_;
    std::shared_ptr<Connection> conn_;
    std::string error_;                 // why the last connection attempt failed
    std::vector<SourceEntry> sources_;  // as last listed; device numbers index it
    bool listed_ = false;
};

}  // namespace

std::shared_ptr<Backend> MakePulseBackend(const std::string& server) { return std::make_shared<PulseBackend>(server); }

}  // namespace tavrino::audio
