// The PulseAudio backend: devices are the server's sources (monitors included, so that what
// the computer plays can be recorded), named by their descriptions; device -1 is the
// default source. One threaded main loop per connection runs every callback off the UI
// thread; calls from the UI thread take the main loop's lock only for the duration of a
// request and wait for its answer at most kRequestTimeout.
//
// Capture: a record stream per open device, started corked. Its read callback copies the
// incoming fragments into the queued buffers; when none is queued it keeps the fragment
// (neither drops nor skips it) and waits for the next BufferQueued, so audio waits in the
// stream. When the client-side record buffer nevertheless fills to its maximum (the server
// then drops audio), one overrun is counted. A stream that fails or is killed (source
// removed, server gone) reports the loss to the sink.
//
// Mixer: the source's ports are the lines; a source without ports offers one line named
// after the source. The line volume is the source volume on the raw scale of
// ServerVolumeFromRaw (65535 = 100 %, so that a recording at full volume is the source's
// samples unchanged).

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

constexpr pa_usec_t kRequestTimeout = 5 * PA_USEC_PER_SEC;  // [us] for connects and requests
constexpr pa_usec_t kFragmentTime = 50 * PA_USEC_PER_MSEC;  // [us] of audio per read callback

struct SourceEntry {
    uint32_t index = 0;
    std::string name;
    std::string description;
    bool monitor = false;
};

struct SourceDetails {
    std::string name;
    std::string description;
    bool monitor = false;
    pa_cvolume volume{};
    std::vector<std::string> portNames;
    std::vector<std::string> portDescriptions;
    int32_t activePort = 0;
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
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        pa_threaded_mainloop_free(loop_);
    }

    // Connects; false when the server cannot be reached in time.
    bool Connect(const std::string& server) {
        loop_ = pa_threaded_mainloop_new();
        if (loop_ == nullptr) return false;
        if (pa_threaded_mainloop_start(loop_) < 0) return false;
        Lock lock(loop_);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tavrino");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "tavrino");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Tavrino", props);
        pa_proplist_free(props);
        if (context_ == nullptr) return false;
        pa_context_set_state_callback(context_, &Connection::OnContextState, this);
        if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return false;
        WaitLocked([this] {
            const pa_context_state_t s = pa_context_get_state(context_);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        return pa_context_get_state(context_) == PA_CONTEXT_READY;
    }

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

    // Waits (main loop locked) until `done` holds or kRequestTimeout passes; every
    // callback of this backend signals the loop. True if `done` holds.
    bool WaitLocked(const std::function<bool()>& done) {
        if (done()) return true;
        bool timedOut = false;
        struct Timer {
            bool* flag;
            pa_threaded_mainloop* loop;
        } timer{&timedOut, loop_};
        timeval tv{};
        pa_timeval_add(pa_gettimeofday(&tv), kRequestTimeout);
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
        return done();
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

    // The server's sources, in index order.
    bool ListSources(std::vector<SourceEntry>& out) {
        Lock lock(loop_);
        struct Ctx {
            Connection* self;
            std::vector<SourceEntry>* out;
        } ctx{this, &out};
        out.clear();
        pa_operation* op = pa_context_get_source_info_list(
            context_,
            [](pa_context*, const pa_source_info* i, int eol, void* userdata) {
                auto* c = static_cast<Ctx*>(userdata);
                if (eol == 0 && i != nullptr) {
                    c->out->push_back(SourceEntry{i->index, i->name ? i->name : "",
                                                  i->description ? i->description : (i->name ? i->name : ""),
                                                  i->monitor_of_sink != PA_INVALID_INDEX});
                }
                if (eol != 0) Signal(c->self);
            },
            &ctx);
        const bool ok = RunLocked(op);
        std::sort(out.begin(), out.end(), [](const SourceEntry& a, const SourceEntry& b) { return a.index < b.index; });
        return ok;
    }

    // The name of the default source ("" if none).
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
        RunLocked(op);
        return ctx.name;
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
                    SourceDetails& s = *c->d;
                    s.name = i->name ? i->name : "";
                    s.description = i->description ? i->description : s.name;
                    s.monitor = i->monitor_of_sink != PA_INVALID_INDEX;
                    s.volume = i->volume;
                    s.portNames.clear();
                    s.portDescriptions.clear();
                    s.activePort = 0;
                    for (uint32_t p = 0; p < i->n_ports; ++p) {
                        s.portNames.emplace_back(i->ports[p]->name ? i->ports[p]->name : "");
                        s.portDescriptions.emplace_back(i->ports[p]->description ? i->ports[p]->description
                                                                                 : s.portNames.back());
                        if (i->active_port == i->ports[p]) s.activePort = static_cast<int32_t>(p);
                    }
                }
                if (eol != 0) Signal(c->self);
            },
            &ctx);
        return RunLocked(op) && ctx.found;
    }

    // Runs a request answered by a success flag.
    bool Request(const std::function<pa_operation*(pa_context_success_cb_t, void*)>& start) {
        Lock lock(loop_);
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

private:
    static void OnContextState(pa_context*, void* self) { Signal(self); }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

// One record stream.
class PulseStream final : public CaptureStream {
public:
    PulseStream(std::shared_ptr<Connection> conn, StreamSink& sink) : conn_(std::move(conn)), sink_(sink) {}

    ~PulseStream() override {
        if (stream_ == nullptr) return;
        Connection::Lock lock(conn_->loop());
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
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentTime, &ss));
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
        return MMSYSERR_NOERROR;
    }

    MMRESULT Start() override { return Cork(false) ? MMSYSERR_NOERROR : MMSYSERR_ERROR; }

    MMRESULT Stop() override {
        Cork(true);
        Discard();
        return MMSYSERR_NOERROR;
    }

    void Reset() override { Stop(); }

    void BufferQueued() override {
        if (!stalled_.load()) return;
        Connection::Lock lock(conn_->loop());
        DrainLocked();
    }

    uint32_t Overruns() const override { return overruns_.load(); }

private:
    bool Cork(bool cork) {
        Connection::Lock lock(conn_->loop());
        if (!ready_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return false;
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
        return conn_->RunLocked(op) && ctx.ok;
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
        if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
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
    uint32_t maxlength_ = 0;
    // The fragment being handed over (main loop locked).
    const uint8_t* peekData_ = nullptr;
    size_t peekLen_ = 0;
    size_t peekOff_ = 0;
    bool overrunEpisode_ = false;
    std::atomic<bool> stalled_{false};
    std::atomic<uint32_t> overruns_{0};
};

class PulseMixer final : public DeviceMixer {
public:
    PulseMixer(std::shared_ptr<Connection> conn, std::string source) : conn_(std::move(conn)), source_(std::move(source)) {}

    std::string Name() override {
        SourceDetails d;
        return conn_->SourceByName(source_, d) ? d.description : std::string();
    }

    bool Lines(std::vector<LineInfo>& lines) override {
        SourceDetails d;
        if (!conn_->SourceByName(source_, d)) return false;
        lines.clear();
        const uint32_t ch = std::max<uint32_t>(1, d.volume.channels);
        if (d.portNames.empty()) {
            lines.push_back(LineInfo{d.description,
                                     d.monitor ? MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT : ComponentTypeForName(d.description),
                                     ch});
        } else {
            for (size_t p = 0; p < d.portNames.size(); ++p) {
                const uint32_t type = ComponentTypeForName(d.portNames[p] + " " + d.portDescriptions[p]);
                lines.push_back(LineInfo{d.portDescriptions[p], type, ch});
            }
        }
        return true;
    }

    int32_t ActiveLine() override {
        SourceDetails d;
        return conn_->SourceByName(source_, d) ? d.activePort : -1;
    }

    bool SelectLine(int32_t line) override {
        SourceDetails d;
        if (!conn_->SourceByName(source_, d)) return false;
        if (d.portNames.empty()) return line == 0;  // the one line is always the selected one
        if (line < 0 || line >= static_cast<int32_t>(d.portNames.size())) return false;
        const std::string port = d.portNames[static_cast<size_t>(line)];
        return conn_->Request([&](pa_context_success_cb_t cb, void* ud) {
            return pa_context_set_source_port_by_name(conn_->context(), source_.c_str(), port.c_str(), cb, ud);
        });
    }

    bool GetVolume(int32_t line, std::span<uint32_t> values) override {
        SourceDetails d;
        if (!conn_->SourceByName(source_, d) || !LineExists(d, line) || d.volume.channels == 0) return false;
        for (size_t c = 0; c < values.size(); ++c) {
            const pa_volume_t v = d.volume.values[std::min<size_t>(c, d.volume.channels - 1u)];
            values[c] = RawFromServerVolume(v);
        }
        return true;
    }

    bool SetVolume(int32_t line, std::span<const uint32_t> values) override {
        SourceDetails d;
        if (!conn_->SourceByName(source_, d) || !LineExists(d, line) || d.volume.channels == 0 || values.empty())
            return false;
        pa_cvolume cv = d.volume;
        for (uint8_t c = 0; c < cv.channels; ++c)
            cv.values[c] = ServerVolumeFromRaw(values[std::min<size_t>(c, values.size() - 1)]);
        return conn_->Request([&](pa_context_success_cb_t cb, void* ud) {
            return pa_context_set_source_volume_by_name(conn_->context(), source_.c_str(), &cv, cb, ud);
        });
    }

private:
    static bool LineExists(const SourceDetails& d, int32_t line) {
        const int32_t n = d.portNames.empty() ? 1 : static_cast<int32_t>(d.portNames.size());
        return line >= 0 && line < n;
    }

    std::shared_ptr<Connection> conn_;
    std::string source_;
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
        if (source.empty()) return nullptr;
        return std::make_unique<PulseMixer>(conn, source);
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

private:
    // The live connection, made anew when there is none or the last one failed.
    std::shared_ptr<Connection> ConnectionLocked() {
        if (conn_ && conn_->Good()) return conn_;
        conn_.reset();
        auto c = std::make_shared<Connection>();
        if (!c->Connect(server_)) return nullptr;
        conn_ = std::move(c);
        return conn_;
    }

    void RefreshLocked() {
        listed_ = true;
        sources_.clear();
        auto conn = ConnectionLocked();
        if (conn) conn->ListSources(sources_);
    }

    const std::string server_;
    std::mutex mutex_;
    std::shared_ptr<Connection> conn_;
    std::vector<SourceEntry> sources_;  // as last listed; device numbers index it
    bool listed_ = false;
};

}  // namespace

std::shared_ptr<Backend> MakePulseBackend(const std::string& server) { return std::make_shared<PulseBackend>(server); }

}  // namespace tavrino::audio
