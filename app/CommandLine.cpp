// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "core/FileType.h"
#include "platform/acm/AcmFormats.h"
#include "platform/audio/Backend.h"

namespace tavrino {
namespace {

using Command = CommandLine::Command;

// What --open names: effects (optionally with a tab's key), chooser, about, player=PATH.
bool OpenableWindow(const QString& w) {
    static const QStringList names = {QStringLiteral("effects"),       QStringLiteral("effects:ECHO"),
                                      QStringLiteral("effects:SHIFT"), QStringLiteral("effects:EQ"),
                                      QStringLiteral("effects:AMPL"),  QStringLiteral("chooser"),
                                      QStringLiteral("about")};
    return names.contains(w) || (w.startsWith(QStringLiteral("player=")) && w.size() > 7);
}

// The options that take a value, with the value's name as the help shows it.
struct ValueOption {
    const char* name;
    const char* value;
};
constexpr ValueOption kValueOptions[] = {
    {"--record", "SECONDS"}, {"--device", "TEXT"},  {"--format", "TAG[:ATTRIBUTE]"}, {"--rate", "HZ"},
    {"--channels", "N"},     {"--max-file-time", "SECONDS"},
    {"--output", "PATH"},    {"--open", "WINDOW"}, {"--write-icon", "PATH"},        {"--icon-size", "PIXELS"},
};
const QStringList kFlags = {QStringLiteral("--help"),         QStringLiteral("--version"), QStringLiteral("--list-devices"),
                            QStringLiteral("--list-formats"), QStringLiteral("--stereo"),  QStringLiteral("--mono"),
                            QStringLiteral("--force"),        QStringLiteral("--start"),   QStringLiteral("--quiet")};

// The short options, each another spelling of a long one.
struct ShortOption {
    char letter;
    const char* name;
};
constexpr ShortOption kShortOptions[] = {
    {'d', "--device"}, {'r', "--rate"}, {'c', "--channels"}, {'f', "--format"},
    {'o', "--output"}, {'q', "--quiet"}, {'h', "--help"},    {'V', "--version"},
};

const char* ValueName(const QString& option) {
    for (const ValueOption& o : kValueOptions) {
        if (option == QLatin1String(o.name)) return o.value;
    }
    return nullptr;
}

// What a value must be, for the options whose values have a range; "" for the others.
QString RangeOf(const QString& option) {
    if (option == QStringLiteral("--record")) return QStringLiteral("SECONDS 须在 0.001 到 604800 (7 天) 之间");
    if (option == QStringLiteral("--max-file-time")) return QStringLiteral("SECONDS 须在 1 到 604800 之间");
    if (option == QStringLiteral("--rate")) return QStringLiteral("HZ 须在 %1 到 %2 之间").arg(kMinRate).arg(kMaxRate);
    if (option == QStringLiteral("--channels")) return QStringLiteral("N 须为 1 (单声道) 或 2 (立体声)");
    if (option == QStringLiteral("--icon-size"))
        return QStringLiteral("PIXELS 须在 %1 到 %2 之间").arg(kMinIconSize).arg(kMaxIconSize);
    return {};
}

QString CommandOption(Command c) {
    switch (c) {
        case Command::ListDevices: return QStringLiteral("--list-devices");
        case Command::ListFormats: return QStringLiteral("--list-formats");
        case Command::Record: return QStringLiteral("--record");
        case Command::WriteIcon: return QStringLiteral("--write-icon");
        default: return {};
    }
}

// The arguments with every short option spelled as its long one, "-qr8000" as "--quiet",
// "--rate=8000", so that one loop reads them all. A short option's value is the rest of its
// argument, else the next argument whatever it holds; without one the long name stands
// alone and the loop says the value is missing. Values of long options and everything
// from "--" on are kept as they are. An unknown letter is a usage error.
QStringList LongSpellings(const QStringList& args, QString* error) {
    QStringList out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QStringLiteral("--")) {
            out << args.mid(i);
            break;
        }
        if (a.startsWith(QStringLiteral("--"))) {
            out << a;
            if (!a.contains(QLatin1Char('=')) && ValueName(a) != nullptr && i + 1 < args.size()) out << args[++i];
            continue;
        }
        if (!a.startsWith(QLatin1Char('-')) || a.size() == 1) {
            out << a;
            continue;
        }
        for (qsizetype k = 1; k < a.size(); ++k) {
            const ShortOption* option = nullptr;
            for (const ShortOption& o : kShortOptions) {
                if (a[k] == QLatin1Char(o.letter)) option = &o;
            }
            if (option == nullptr) {
                *error = QStringLiteral("未知选项: -%1").arg(a[k]);
                return {};
            }
            const QString name = QLatin1String(option->name);
            if (ValueName(name) == nullptr) {
                out << name;
            } else if (k + 1 < a.size()) {
                out << name + QLatin1Char('=') + a.mid(k + 1);
                break;
            } else if (i + 1 < args.size()) {
                out << name + QLatin1Char('=') + args[++i];
            } else {
                out << name;
            }
        }
    }
    return out;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& given_args) {
    CommandLine c;
    bool help = false;
    bool version = false;
    std::vector<Command> commands;  // the runs asked for, in order
    QStringList given;              // every option given, by its long name
    QString formatText;
    auto fail = [&c](const QString& why) {
        if (c.error.isEmpty()) c.error = why;
    };
    const QStringList args = LongSpellings(given_args, &c.error);

    for (qsizetype i = 0; i < args.size() && c.error.isEmpty(); ++i) {
        const QString& a = args[i];
        if (a == QStringLiteral("--")) {
            if (i + 1 < args.size()) fail(QStringLiteral("多余的参数: %1").arg(args[i + 1]));
            break;
        }
        if (!a.startsWith(QLatin1Char('-')) || a == QStringLiteral("-")) {
            fail(QStringLiteral("多余的参数: %1").arg(a));
            break;
        }
        QString name = a;
        std::optional<QString> value;
        if (a.indexOf(QLatin1Char('=')) > 2) {
            name = a.left(a.indexOf(QLatin1Char('=')));
            value = a.mid(a.indexOf(QLatin1Char('=')) + 1);
        }
        const char* valueName = ValueName(name);
        if (valueName == nullptr && !kFlags.contains(name)) {
            fail(QStringLiteral("未知选项: %1").arg(value ? name : a));
            break;
        }
        given << name;
        if (valueName == nullptr) {
            if (value) {
                fail(QStringLiteral("%1 不带值").arg(name));
                break;
            }
        } else if (!value) {
            if (i + 1 >= args.size()) {
                const QString range = RangeOf(name);
                fail(range.isEmpty() ? QStringLiteral("%1 缺少值 %2").arg(name, QLatin1String(valueName))
                                     : QStringLiteral("%1 缺少值: %2").arg(name, range));
                break;
            }
            value = args[++i];
        }

        // The option's value as a number within [lowest, highest] (whole when asked), else
        // a usage error naming the option and its range.
        auto number = [&](double lowest, double highest, bool whole = false) {
            bool ok = false;
            const double v = whole ? value->trimmed().toInt(&ok, 10) : value->trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(v) || v < lowest || v > highest) {
                fail(QStringLiteral("%1: \"%2\" 不可用: %3").arg(name, *value, RangeOf(name)));
            }
            return v;
        };
        if (name == QStringLiteral("--help")) {
            help = true;
        } else if (name == QStringLiteral("--version")) {
            version = true;
        } else if (name == QStringLiteral("--list-devices")) {
            commands.push_back(Command::ListDevices);
        } else if (name == QStringLiteral("--list-formats")) {
            commands.push_back(Command::ListFormats);
        } else if (name == QStringLiteral("--stereo")) {
            c.channels = 2;
        } else if (name == QStringLiteral("--mono")) {
            c.channels = 1;
        } else if (name == QStringLiteral("--channels")) {
            c.channels = static_cast<int16_t>(number(1, 2, true));
        } else if (name == QStringLiteral("--quiet")) {
            c.quiet = true;
        } else if (name == QStringLiteral("--force")) {
            c.force = true;
        } else if (name == QStringLiteral("--start")) {
            c.start = true;
        } else if (name == QStringLiteral("--record")) {
            commands.push_back(Command::Record);
            c.recordSeconds = number(kMinRecordSeconds, kMaxRecordSeconds);
        } else if (name == QStringLiteral("--max-file-time")) {
            c.maxFileSeconds = number(kMinFileSeconds, kMaxRecordSeconds);
        } else if (name == QStringLiteral("--rate")) {
            c.rate = static_cast<int32_t>(number(kMinRate, kMaxRate, true));
        } else if (name == QStringLiteral("--icon-size")) {
            c.iconSize = static_cast<int>(number(kMinIconSize, kMaxIconSize, true));
        } else if (value->isEmpty()) {
            fail(QStringLiteral("%1 的 %2 不能为空").arg(name, QLatin1String(valueName)));
        } else if (name == QStringLiteral("--device")) {
            c.device = *value;
        } else if (name == QStringLiteral("--format")) {
            formatText = *value;
        } else if (name == QStringLiteral("--output")) {
            c.output = *value;
        } else if (name == QStringLiteral("--open")) {
            if (!OpenableWindow(*value)) fail(QStringLiteral("--open: 没有这个窗口: %1").arg(*value));
            c.open = *value;
        } else if (name == QStringLiteral("--write-icon")) {
            commands.push_back(Command::WriteIcon);
            c.iconPath = *value;
        }
    }
    if (!c.error.isEmpty()) return c;
    if (help) {
        c.command = Command::Help;
        return c;
    }
    if (version) {
        c.command = Command::Version;
        return c;
    }
    for (const Command other : commands) {
        if (other != commands.front()) {
            c.error = QStringLiteral("%1 和 %2 不能一起用").arg(CommandOption(commands.front()), CommandOption(other));
            return c;
        }
    }
    c.command = commands.empty() ? Command::Window : commands.front();

    // Which options go with which run.
    auto onlyWith = [&](const QString& option, std::initializer_list<Command> runs, const QString& where) {
        if (!c.error.isEmpty() || !given.contains(option)) return;
        for (const Command r : runs) {
            if (c.command == r) return;
        }
        c.error = QStringLiteral("%1 只能和 %2 一起用").arg(option, where);
    };
    onlyWith(QStringLiteral("--format"), {Command::Record}, QStringLiteral("--record"));
    onlyWith(QStringLiteral("--output"), {Command::Record}, QStringLiteral("--record"));
    onlyWith(QStringLiteral("--max-file-time"), {Command::Record}, QStringLiteral("--record"));
    onlyWith(QStringLiteral("--force"), {Command::Record}, QStringLiteral("--record --output"));
    for (const char* o : {"--rate", "--channels", "--stereo", "--mono"}) {
        onlyWith(QLatin1String(o), {Command::Record, Command::ListFormats}, QStringLiteral("--record 或 --list-formats"));
    }
    onlyWith(QStringLiteral("--device"), {Command::Record, Command::Window}, QStringLiteral("--record 或窗口"));
    onlyWith(QStringLiteral("--start"), {Command::Window}, QStringLiteral("窗口 (不带 --record 等)"));
    onlyWith(QStringLiteral("--open"), {Command::Window}, QStringLiteral("窗口 (不带 --record 等)"));
    onlyWith(QStringLiteral("--icon-size"), {Command::WriteIcon}, QStringLiteral("--write-icon"));
    if (c.error.isEmpty() && c.force && c.output.isEmpty()) c.error = QStringLiteral("--force 只能和 --output 一起用");
    if (c.error.isEmpty() && !formatText.isEmpty()) {
        QString why;
        c.format = PickFormat(formatText, c.rate, c.channels, &why);
        if (!c.format) c.error = QStringLiteral("--format: %1").arg(why);
        // A tag alone may have had to go below the recording; an attribute was asked for.
        if (c.format && !formatText.contains(QLatin1Char(':')))
            c.formatNotice = BelowRecordingNotice(*c.format, c.rate, c.channels);
    }
    if (c.error.isEmpty() && !c.output.isEmpty()) c.error = OutputTypeError(c);
    if (c.error.isEmpty() && c.command == Command::Record && !c.format) c.format = RecordFormatFor(c.rate, c.channels);
    return c;
}

QString OutputTypeError(CommandLine& c) {
    const FileType asked = c.format ? FileTypeOfTag(c.format->format.FormatTag()) : FileType::Wav;
    if (c.output == QStringLiteral("-") || c.output == QStringLiteral("/dev/stdout")) {
        c.output = QStringLiteral("-");
        if (c.maxFileSeconds > 0) return QStringLiteral("--max-file-time 不能用于标准输出 (--output -)");
        return {};
    }
    const QString suffix = QFileInfo(c.output).suffix();
    if (suffix.isEmpty()) return {};
    const QString types = QString::fromStdString(WrittenTypesText());
    std::optional<FileType> named = FileTypeOfExtension(suffix.toStdString());
    if (!named) return QStringLiteral("--output: 不写 .%1 文件; 可写的类型: %2").arg(suffix, types);
    if (*named == FileType::Vorbis && asked == FileType::Opus && suffix.compare(QStringLiteral("opus"), Qt::CaseInsensitive) != 0)
        named = FileType::Opus;  // .ogg / .oga with --format opus
    if (c.format) {
        if (asked == *named) return {};
        return QStringLiteral("--format %1 和 --output 的扩展名 .%2 (%3) 不符; 可写的类型: %4")
            .arg(c.format->tag, suffix, QLatin1String(FileTypeName(*named)), types);
    }
    if (*named == FileType::Wav) return {};
    QString why;
    c.format = PickFormat(QString::fromStdString(acm::TagName(TagOfFileType(*named))), c.rate, c.channels, &why);
    if (!c.format) return QStringLiteral("--output: %1").arg(why);
    c.formatNotice = BelowRecordingNotice(*c.format, c.rate, c.channels);
    return {};
}

QString UsageText() {
    return QStringLiteral(
        "用法: tavrino [选项]\n"
        "Tavrino 录音机。不带选项时打开主窗口。\n"
        "\n"
        "窗口:\n"
        "  -d, --device TEXT      选中名称或描述含有 TEXT 的第一个录音设备 (不分大小写)\n"
        "      --start            打开窗口后立即开始录音\n"
        "      --open WINDOW      打开一个窗口, 如同按下它的按钮: effects,\n"
        "                         effects:ECHO|SHIFT|EQ|AMPL (一页), chooser, about,\n"
        "                         player=FILE (播放 FILE)\n"
        "\n"
        "不需要显示器:\n"
        "      --record SECONDS   录 SECONDS 秒 (0.001 到 604800) 后退出; 默认录到下一个\n"
        "                         编号文件。标准输出只有录好的文件的绝对路径, 每个一行;\n"
        "                         长度、格式和丢失次数写到标准错误\n"
        "  -d, --device TEXT      从名称或描述含有 TEXT 的第一个录音设备录音 (不分大小写,\n"
        "                         如 monitor); 默认: 默认录音设备\n"
        "  -f, --format TAG[:ATTRIBUTE]\n"
        "                         输出格式, 取自 --list-formats 的列表: TAG 是格式名 (不分\n"
        "                         大小写, 如 'ima adpcm'、'mpeg layer-3'), ATTRIBUTE 是属性\n"
        "                         描述中的一段 (如 '22.050 kHz, 4 Bit, Mono'); 不给 ATTRIBUTE\n"
        "                         时取不高于录音的采样率和声道的最高一项, 低于录音时在标准\n"
        "                         错误说明。默认: 16 Bit PCM, 采样率和声道与录音相同。\n"
        "                         文件类型: flac, opus, vorbis, mp3 (如 'opus:32 kBit/s, Mono')\n"
        "  -r, --rate HZ          录音的采样率 (1000 到 96000, 默认 44100)\n"
        "  -c, --channels N       声道数: 1 (单声道) 或 2 (立体声, 默认)\n"
        "      --stereo, --mono   同 -c 2, -c 1\n"
        "  -o, --output PATH      录到 PATH 而不是编号文件; 不覆盖非空的文件。扩展名决定文件\n"
        "                         类型: .wav .flac .opus .ogg/.oga (Vorbis; 加 --format opus\n"
        "                         时为 Opus) .mp3; - 或 /dev/stdout: 写到标准输出 (WAV、FLAC、\n"
        "                         Ogg), 不输出路径\n"
        "      --max-file-time SECONDS\n"
        "                         每录满 SECONDS 秒换一个新的编号文件继续录 (1 到 604800);\n"
        "                         文件到达 WAV 的 4 GB 上限时总会换文件\n"
        "      --force            允许 --output 覆盖非空的文件\n"
        "      --list-devices     列出录音设备, 每个一行, 各栏以制表符分隔: 序号、默认\n"
        "                         标记 (* 为默认设备, 其余为 -)、名称、描述\n"
        "      --list-formats     列出 --rate 和 --channels 的录音可用的输出格式, 每个\n"
        "                         一行, 各栏以制表符分隔: 格式名、属性、数据率\n"
        "      --write-icon PATH  把程序的图标写成 PNG 文件 PATH 后退出\n"
        "      --icon-size PIXELS --write-icon 的图标边长 (1 到 1024, 默认 256)\n"
        "\n"
        "  -q, --quiet            标准错误只写错误\n"
        "  -h, --help             显示本帮助后退出\n"
        "  -V, --version          显示版本后退出\n"
        "短选项可以合写 (-qc1), 值可以紧跟字母 (-r8000); -- 之后不再有选项。\n"
        "\n"
        "退出状态:\n"
        "  0      完成\n"
        "  1      失败 (录音无法开始或中途停止, 没有显示器, 无法连接到声音服务器)\n"
        "  2      用法错误 (未知选项, 缺少的或超出范围的值, 不可用的 TAVRINO_AUDIO)\n"
        "  128+N  被信号 N 结束, 录音已保存 (如 Ctrl+C: 130)\n"
        "\n"
        "环境变量 TAVRINO_AUDIO 选择声音来源: pulse (默认)、pulse:SERVER、test[:DEVICES]。\n"
        "详见 man tavrino。\n");
}

int32_t MatchDevice(audio::Backend& backend, const QString& text) {
    if (text.isEmpty()) return -1;
    const int32_t count = backend.DeviceCount();
    for (int32_t i = 0; i < count; ++i) {
        if (QString::fromStdString(backend.DeviceId(i)).contains(text, Qt::CaseInsensitive) ||
            QString::fromStdString(backend.DeviceName(i)).contains(text, Qt::CaseInsensitive)) {
            return i;
        }
    }
    return -1;
}

int32_t ChooseDevice(audio::Backend& backend, const QString& text) {
    if (!text.isEmpty()) return MatchDevice(backend, text);
    const int32_t index = backend.DefaultDevice();
    return index >= 0 ? index : (backend.DeviceCount() > 0 ? 0 : -1);
}

std::optional<NamedFormat> PickFormat(const QString& text, int32_t rate, int16_t channels, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<NamedFormat> {
        if (error) *error = why;
        return std::nullopt;
    };
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    const QString tagText = (colon < 0 ? text : text.left(colon)).trimmed();
    const QString attribute = colon < 0 ? QString() : text.mid(colon + 1).trimmed();

    // The tag: its whole name, else the single name that holds the text. Only that tag's
    // entries are looked up, so that a PCM format never loads the codec library.
    std::vector<uint16_t> tags;
    QStringList names;
    for (const uint16_t t : acm::CatalogueTags()) {
        names << QString::fromStdString(acm::TagName(t));
        if (!tagText.isEmpty() && names.back().compare(tagText, Qt::CaseInsensitive) == 0) tags = {t};
    }
    if (tags.empty() && !tagText.isEmpty()) {
        for (const uint16_t t : acm::CatalogueTags()) {
            if (QString::fromStdString(acm::TagName(t)).contains(tagText, Qt::CaseInsensitive)) tags.push_back(t);
        }
    }
    if (tags.size() != 1) {
        QStringList candidates;
        for (const uint16_t t : tags) candidates << QString::fromStdString(acm::TagName(t));
        if (candidates.isEmpty()) candidates = names;
        return fail(QStringLiteral("%1 \"%2\"; 可选的格式名: %3")
                        .arg(tags.empty() ? QStringLiteral("没有这个格式名") : QStringLiteral("格式名不明确"),
                             tagText, candidates.join(QStringLiteral(", "))));
    }
    const std::vector<acm::FormatTagChoices> catalogue =
        acm::EnumerateFormats(acm::PcmFormat(rate, channels, 16), tags.front());
    if (catalogue.empty()) {
        return fail(QStringLiteral("%1 没有可用的属性").arg(QString::fromStdString(acm::TagName(tags.front()))));
    }
    const acm::FormatTagChoices& tag = catalogue.front();
    auto named = [&tag](const acm::FormatChoice& f) {
        return NamedFormat{f.format, QString::fromStdString(tag.name), QString::fromStdString(f.description)};
    };
    if (tag.formats.empty()) return fail(QStringLiteral("%1 没有可用的属性").arg(QString::fromStdString(tag.name)));

    if (attribute.isEmpty()) {
        // Nearest from below, one field after the other: a value not above the limit ranks
        // above every value over it; below the limit higher is nearer, above it lower is.
        // Among a file type's entries at that rate and channel count, its usual bit rate.
        const bool fileType = FileTypeOfTag(tag.tag) != FileType::Wav;
        auto nearest = [](int32_t value, int32_t limit) {
            return value <= limit ? std::pair{1, value} : std::pair{0, -value};
        };
        auto rank = [&](const acm::FormatChoice& f) {
            return std::tuple{nearest(f.format.SamplesPerSec(), rate), nearest(f.format.Channels(), channels),
                              fileType && f.usual, nearest(f.format.BitsPerSample(), 16), f.bytesPerSecond};
        };
        return named(*std::max_element(tag.formats.begin(), tag.formats.end(),
                                       [&](const auto& a, const auto& b) { return rank(a) < rank(b); }));
    }
    std::vector<const acm::FormatChoice*> fits;
    for (const auto& f : tag.formats) {
        const QString d = QString::fromStdString(f.description);
        if (d.compare(attribute, Qt::CaseInsensitive) == 0) return named(f);
        if (d.contains(attribute, Qt::CaseInsensitive)) fits.push_back(&f);
    }
    if (fits.size() == 1) return named(*fits.front());
    QStringList candidates;
    if (fits.empty()) {
        for (const auto& f : tag.formats) candidates << QString::fromStdString(f.description);
    } else {
        for (const auto* f : fits) candidates << QString::fromStdString(f->description);
    }
    return fail(QStringLiteral("%1 \"%2\" (%3); 可选的属性:\n  %4")
                    .arg(fits.empty() ? QStringLiteral("没有这个属性") : QStringLiteral("属性不明确"), attribute,
                         QString::fromStdString(tag.name), candidates.join(QStringLiteral("\n  "))));
}

NamedFormat RecordFormatFor(int32_t rate, int16_t channels) {
    const WaveFormat pcm = acm::PcmFormat(rate, channels, 16);
    return {pcm, QString::fromStdString(acm::TagName(pcm.FormatTag())), QString::fromStdString(acm::Describe(pcm))};
}

QString BelowRecordingNotice(const NamedFormat& format, int32_t rate, int16_t channels) {
    if (format.format.SamplesPerSec() >= rate && format.format.Channels() >= channels) return {};
    return QStringLiteral("输出格式 %1 %2 低于录音的 %3 Hz %4")
        .arg(format.tag, format.description)
        .arg(rate)
        .arg(channels == 1 ? QStringLiteral("单声道") : QStringLiteral("立体声"));
}

QString FormatList(int32_t rate, int16_t channels) {
    QString out;
    for (const auto& t : acm::EnumerateFormats(acm::PcmFormat(rate, channels, 16))) {
        for (const auto& f : t.formats) {
            out += QStringLiteral("%1\t%2\t%3 bytes/s\n")
                       .arg(QString::fromStdString(t.name), QString::fromStdString(f.description))
                       .arg(f.bytesPerSecond);
        }
    }
    return out;
}

}  // namespace tavrino
