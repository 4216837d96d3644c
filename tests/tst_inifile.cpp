#include "core/settings/inifile.h"
#include "core/settings/settings.h"

#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kSection = QStringLiteral("Po spusteni");

// The text in UTF-16 with its byte-order mark, as Windows' editors save "Unicode".
QByteArray utf16(const QString& text, bool bigEndian) {
    QByteArray out;
    for (const QChar c : u'\uFEFF' + text) {
        const char hi = char(c.unicode() >> 8);
        const char lo = char(c.unicode() & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

pid_t deadPid() {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

QStringList folderEntries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestIniFile : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_dir = m_tmp->path();
        // Lets the unprivileged cases reach the files.
        QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0777) == 0);
        m_path = m_dir + QStringLiteral("/impulz.ini");
    }

    void readString_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        QTest::newRow("plain") << QByteArray("[Po spusteni]\nIP=10.0.0.5\n") << "IP"
                               << "10.0.0.5";
        QTest::newRow("empty value is not the default") << QByteArray("[Po spusteni]\nPopis=\n") << "Popis"
                                                        << "";
        QTest::newRow("missing key") << QByteArray("[Po spusteni]\nPort=23\n") << "IP"
                                     << "DEF";
        QTest::newRow("key of another section") << QByteArray("[Jine]\nIP=1\n[Po spusteni]\nPort=2\n") << "IP"
                                                << "DEF";
        QTest::newRow("names ignore case") << QByteArray("[PO SPUSTENI]\nip=1.2.3.4\n") << "IP"
                                           << "1.2.3.4";
        QTest::newRow("blanks trimmed") << QByteArray("[ Po spusteni ]\n  IP \t=  1.2 3  \n") << "IP"
                                        << "1.2 3";
        QTest::newRow("later equals signs") << QByteArray("[Po spusteni]\nFormat=a=b\n") << "Format"
                                            << "a=b";
        QTest::newRow("first duplicate wins") << QByteArray("[Po spusteni]\nIP=1\nIP=2\n") << "IP"
                                              << "1";
        QTest::newRow("comments") << QByteArray("[Po spusteni]\n;IP=x\n # IP=y\nIP=z\n") << "IP"
                                  << "z";
        QTest::newRow("comment only") << QByteArray("[Po spusteni]\n;IP=x\n") << "IP"
                                      << "DEF";
        QTest::newRow("CR LF") << QByteArray("[Po spusteni]\r\nIP=1.2.3.4\r\nPort=23\r\n") << "IP"
                               << "1.2.3.4";
        QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[Po spusteni]\nIP=1\n") << "IP"
                                         << "1";
        QTest::newRow("UTF-8") << QByteArray("[Po spusteni]\nPopis=Linka \xC4\x8D. 3\n") << "Popis"
                               << QStringLiteral("Linka č. 3");
        QTest::newRow("no final line end") << QByteArray("[Po spusteni]\nIP=5") << "IP"
                                           << "5";
        QTest::newRow("quotes keep blanks") << QByteArray("[Po spusteni]\nedCesta5 = \" /data/sp5 \" \n") << "edCesta5"
                                            << " /data/sp5 ";
        QTest::newRow("one pair of quotes") << QByteArray("[Po spusteni]\nPopis=\"\"x\"\"\n") << "Popis"
                                            << "\"x\"";
        QTest::newRow("quote on one side") << QByteArray("[Po spusteni]\nPopis=\"x\n") << "Popis"
                                           << "\"x";
        QTest::newRow("quoted empty") << QByteArray("[Po spusteni]\nPopis=\"\"\n") << "Popis"
                                      << "";
        QTest::newRow("cut at 2047") << "[Po spusteni]\nPopis=" + QByteArray(3000, 'a') << "Popis"
                                     << QString(2047, u'a');
    }

    void readString() {
        QFETCH(QByteArray, text);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        writeBytes(m_path, text);
        QCOMPARE(IniFile(m_path).readString(kSection, key, QStringLiteral("DEF")), expected);
    }

    void readInteger_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qint32>("expected");

        const qint32 def = 7;
        QTest::newRow("decimal") << QByteArray("K=42") << 42;
        QTest::newRow("zero") << QByteArray("K=0") << 0;
        QTest::newRow("no octal") << QByteArray("K=09") << 9;
        QTest::newRow("leading zeros") << QByteArray("K=000000000000042") << 42;
        QTest::newRow("signs") << QByteArray("K=-5") << -5;
        QTest::newRow("plus") << QByteArray("K=+5") << 5;
        QTest::newRow("leading blanks") << QByteArray("K=   12") << 12;
        QTest::newRow("0x") << QByteArray("K=0x0A") << 10;
        QTest::newRow("0X lower digits") << QByteArray("K=0X0a") << 10;
        QTest::newRow("dollar") << QByteArray("K=$1f") << 31;
        QTest::newRow("X") << QByteArray("K=X10") << 16;
        QTest::newRow("negative hex") << QByteArray("K=-$10") << -16;
        QTest::newRow("max") << QByteArray("K=2147483647") << std::numeric_limits<qint32>::max();
        QTest::newRow("min") << QByteArray("K=-2147483648") << std::numeric_limits<qint32>::min();
        QTest::newRow("hex max") << QByteArray("K=$7FFFFFFF") << std::numeric_limits<qint32>::max();
        QTest::newRow("above max") << QByteArray("K=2147483648") << def;
        QTest::newRow("below min") << QByteArray("K=-2147483649") << def;
        QTest::newRow("hex above max") << QByteArray("K=0xFFFFFFFF") << def;
        QTest::newRow("huge") << QByteArray("K=99999999999999999999999") << def;
        QTest::newRow("letters") << QByteArray("K=abc") << def;
        QTest::newRow("trailing text") << QByteArray("K=12abc") << def;
        QTest::newRow("inner blank") << QByteArray("K=1 2") << def;
        QTest::newRow("fraction") << QByteArray("K=1.5") << def;
        QTest::newRow("blank after sign") << QByteArray("K=- 5") << def;
        QTest::newRow("sign only") << QByteArray("K=-") << def;
        QTest::newRow("prefix only") << QByteArray("K=0x") << def;
        QTest::newRow("dollar only") << QByteArray("K=$") << def;
        QTest::newRow("hex digit without prefix") << QByteArray("K=1f") << def;
        QTest::newRow("empty") << QByteArray("K=") << def;
        QTest::newRow("missing") << QByteArray("Other=5") << def;
    }

    void readInteger() {
        QFETCH(QByteArray, line);
        QFETCH(qint32, expected);
        writeBytes(m_path, "[Po spusteni]\n" + line + '\n');
        QCOMPARE(IniFile(m_path).readInteger(kSection, QStringLiteral("K"), 7), expected);
    }

    void readBool_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("def");
        QTest::addColumn<bool>("expected");

        QTest::newRow("1") << QByteArray("Bit3=1") << false << true;
        QTest::newRow("0") << QByteArray("Bit3=0") << true << false;
        QTest::newRow("2") << QByteArray("Bit3=2") << false << true;
        QTest::newRow("-1") << QByteArray("Bit3=-1") << false << true;
        QTest::newRow("hex") << QByteArray("Bit3=0x10") << false << true;
        QTest::newRow("yes") << QByteArray("Bit3=yes") << false << false;
        QTest::newRow("true") << QByteArray("Bit3=true") << true << true; // not an integer: the default
        QTest::newRow("missing, default true") << QByteArray("Bit4=0") << true << true;
        QTest::newRow("missing, default false") << QByteArray("Bit4=1") << false << false;
    }

    void readBool() {
        QFETCH(QByteArray, line);
        QFETCH(bool, def);
        QFETCH(bool, expected);
        writeBytes(m_path, "[Po spusteni]\n" + line + '\n');
        QCOMPARE(IniFile(m_path).readBool(kSection, QStringLiteral("Bit3"), def), expected);
    }

    void write_data() {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("creates the file") << false << QByteArray() << "IP"
                                          << "1.2.3.4" << QByteArray("[Po spusteni]\nIP=1.2.3.4\n");
        QTest::newRow("empty file") << true << QByteArray() << "IP"
                                    << "1.2.3.4" << QByteArray("[Po spusteni]\nIP=1.2.3.4\n");
        QTest::newRow("replaces in place, keeps the rest")
            << true
            << QByteArray("; hlavicka\n[Jine]\nx = y \n\n[po spusteni]\nIP = 1\r\nPort=23\r\nzzz\n\n"
                          "[Dalsi]\nIP=9\n")
            << "IP"
            << "2"
            << QByteArray("; hlavicka\n[Jine]\nx = y \n\n[po spusteni]\nIP=2\r\nPort=23\r\nzzz\n\n[Dalsi]\nIP=9\n");
        QTest::newRow("appends at the end of the section")
            << true << QByteArray("[Po spusteni]\nIP=1\n\n[Jine]\na=b\n") << "Port"
            << "23" << QByteArray("[Po spusteni]\nIP=1\nPort=23\n\n[Jine]\na=b\n");
        QTest::newRow("empty section") << true << QByteArray("[Po spusteni]\n[Jine]\n") << "Port"
                                       << "23" << QByteArray("[Po spusteni]\nPort=23\n[Jine]\n");
        QTest::newRow("adds the section") << true << QByteArray("[Jine]\na=b") << "Port"
                                          << "23" << QByteArray("[Jine]\na=b\n\n[Po spusteni]\nPort=23");
        QTest::newRow("first duplicate") << true << QByteArray("[Po spusteni]\nK=1\nK=2\n") << "K"
                                         << "3" << QByteArray("[Po spusteni]\nK=3\nK=2\n");
        QTest::newRow("key case") << true << QByteArray("[Po spusteni]\nport=1\n") << "Port"
                                  << "23" << QByteArray("[Po spusteni]\nPort=23\n");
        QTest::newRow("comment is no key") << true << QByteArray("[Po spusteni]\n;K=1\n") << "K"
                                           << "2" << QByteArray("[Po spusteni]\n;K=1\nK=2\n");
        QTest::newRow("line breaks in the value") << true << QByteArray("[Po spusteni]\n") << "Popis"
                                                  << "a\r\n[X]\nb=c" << QByteArray("[Po spusteni]\nPopis=a  [X] b=c\n");
        QTest::newRow("NUL in the value") << true << QByteArray("[Po spusteni]\n") << "Popis"
                                          << QString::fromLatin1("a\0b", 3) << QByteArray("[Po spusteni]\nPopis=a b\n");
        QTest::newRow("empty value") << true << QByteArray("[Po spusteni]\nPopis=monitor\n") << "Popis"
                                     << "" << QByteArray("[Po spusteni]\nPopis=\n");
        // Bytes that are not UTF-8 make it a Windows-1250 file, and the new value is written in that encoding too.
        QTest::newRow("foreign bytes kept")
            << true << QByteArray("[Po spusteni]\nPopis=\xE8\xFF\n") << "IP" << QStringLiteral("č")
            << QByteArray("[Po spusteni]\nPopis=\xE8\xFF\nIP=\xE8\n");
        QTest::newRow("blanks at the ends quoted")
            << true << QByteArray("[Po spusteni]\nedCesta5=x\n") << "edCesta5"
            << "/data/sp5 " << QByteArray("[Po spusteni]\nedCesta5=\"/data/sp5 \"\n");
        QTest::newRow("own quotes quoted") << true << QByteArray() << "Popis"
                                           << "\"a\"" << QByteArray("[Po spusteni]\nPopis=\"\"a\"\"\n");
        QTest::newRow("inner quote and blanks plain") << true << QByteArray() << "Popis"
                                                      << "a \"b" << QByteArray("[Po spusteni]\nPopis=a \"b\n");
    }

    void write() {
        QFETCH(bool, exists);
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        if (exists)
            writeBytes(m_path, before);

        IniFile ini(m_path);
        ini.writeString(kSection, key, value);
        QCOMPARE(readBytes(m_path), after);
        // The writing object reads what a fresh reader of the file reads.
        QCOMPARE(ini.readString(kSection, key, QStringLiteral("DEF")),
                 IniFile(m_path).readString(kSection, key, QStringLiteral("DEF")));
        if (!value.contains(u'\n') && !value.contains(QChar(0)))
            QCOMPARE(IniFile(m_path).readString(kSection, key, QStringLiteral("DEF")), value);
        QCOMPARE(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("impulz.ini")});
    }

    // A file keeps its encoding, byte-order mark and line ends; untouched lines come back byte for byte.
    void encodingsRoundTrip_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");

        const QString text = QStringLiteral("; Linka č. 3\r\n[Po spusteni]\r\nPopis=Linka č. 3 – šroubování\r\n");
        const QString written = text + QStringLiteral("IP=Žďár\r\n");
        QTest::newRow("Windows-1250, CR LF")
            << QByteArray("; Linka \xE8. 3\r\n[Po spusteni]\r\nPopis=Linka \xE8. 3 \x96 \x9Aroubov\xE1n\xED\r\n")
            << QByteArray("; Linka \xE8. 3\r\n[Po spusteni]\r\nPopis=Linka \xE8. 3 \x96 \x9Aroubov\xE1n\xED\r\n"
                          "IP=\x8E\xEF\xE1r\r\n");
        QTest::newRow("UTF-8, CR LF") << text.toUtf8() << written.toUtf8();
        QTest::newRow("UTF-8 with mark, LF") << "\xEF\xBB\xBF" + QString(text).remove(u'\r').toUtf8()
                                             << "\xEF\xBB\xBF" + QString(written).remove(u'\r').toUtf8();
        QTest::newRow("UTF-16 LE") << utf16(text, false) << utf16(written, false);
        QTest::newRow("UTF-16 BE, LF") << utf16(QString(text).remove(u'\r'), true)
                                       << utf16(QString(written).remove(u'\r'), true);
    }

    void encodingsRoundTrip() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        writeBytes(m_path, before);
        IniFile ini(m_path);
        QCOMPARE(ini.readString(kSection, QStringLiteral("Popis"), {}), QStringLiteral("Linka č. 3 – šroubování"));
        ini.writeString(kSection, QStringLiteral("IP"), QStringLiteral("Žďár"));
        QCOMPARE(readBytes(m_path), after);
        QCOMPARE(IniFile(m_path).readString(kSection, QStringLiteral("IP"), {}), QStringLiteral("Žďár"));
    }

    // A file edited on both systems mixes its line ends; a write gives every line back its own, and a file without
    // a final line end stays without one.
    void lineEndsKeptPerLine_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("LF first, CR LF after, changed")
            << QByteArray("[Po spusteni]\nIP=1\r\nPort=23\r\n; x\r\n") << "IP"
            << QByteArray("[Po spusteni]\nIP=v\r\nPort=23\r\n; x\r\n");
        QTest::newRow("LF first, CR LF after, added") << QByteArray("[Po spusteni]\nIP=1\r\nPort=23\r\n") << "Popis"
                                                      << QByteArray("[Po spusteni]\nIP=1\r\nPort=23\r\nPopis=v\r\n");
        QTest::newRow("added after an LF line in a CR LF file")
            << QByteArray("[Po spusteni]\r\nIP=1\n\r\n[Jine]\r\n") << "Port"
            << QByteArray("[Po spusteni]\r\nIP=1\nPort=v\n\r\n[Jine]\r\n");
        QTest::newRow("no final end, changed")
            << QByteArray("[Po spusteni]\r\nIP=1") << "IP" << QByteArray("[Po spusteni]\r\nIP=v");
        QTest::newRow("no final end, added")
            << QByteArray("[Po spusteni]\nIP=1\r\nx=1") << "Port" << QByteArray("[Po spusteni]\nIP=1\r\nx=1\nPort=v");
        QTest::newRow("no final end, another section after")
            << QByteArray("[Po spusteni]\r\nIP=1\r\n\r\n[Jine]") << "Port"
            << QByteArray("[Po spusteni]\r\nIP=1\r\nPort=v\r\n\r\n[Jine]");
        QTest::newRow("CR without LF at the end")
            << QByteArray("[Po spusteni]\nIP=1\r") << "Port" << QByteArray("[Po spusteni]\nIP=1\r\nPort=v");
        QTest::newRow("UTF-16, mixed") << utf16(QStringLiteral("[Po spusteni]\nIP=1\r\nPort=2"), false) << "IP"
                                       << utf16(QStringLiteral("[Po spusteni]\nIP=v\r\nPort=2"), false);
    }

    void lineEndsKeptPerLine() {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QByteArray, after);
        writeBytes(m_path, before);
        IniFile(m_path).writeString(kSection, key, QStringLiteral("v"));
        QCOMPARE(readBytes(m_path), after);
        QCOMPARE(IniFile(m_path).readString(kSection, key, {}), QStringLiteral("v"));
        QCOMPARE(IniFile(m_path).readString(kSection, QStringLiteral("IP"), {}),
                 key == u"IP" ? QStringLiteral("v") : QStringLiteral("1"));
    }

    // What cannot be understood, or cannot hold the value, is never replaced: reads give the defaults and writes
    // say why they refuse.
    void unknownTextIsNotOverwritten_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("readBefore");

        QTest::newRow("UTF-16 without mark")
            << utf16(QStringLiteral("[Po spusteni]\r\nPopis=x\r\n"), false).mid(2) << "y"
            << "DEF";
        QTest::newRow("byte Windows-1250 leaves undefined") << QByteArray("[Po spusteni]\nPopis=\x81x\n") << "y"
                                                            << "DEF";
        QTest::newRow("NUL byte") << QByteArray("[Po spusteni]\nPopis=x") + '\0' + '\n'
                                  << "y"
                                  << "DEF";
        QTest::newRow("UTF-16 with mark, odd length")
            << utf16(QStringLiteral("[Po spusteni]\nPopis=x\n"), false) + 'x' << "y"
            << "DEF";
        QTest::newRow("value Windows-1250 cannot hold")
            << QByteArray("[Po spusteni]\nPopis=\x9Aroub\n") << QStringLiteral("Жданов") << QStringLiteral("šroub");
    }

    void unknownTextIsNotOverwritten() {
        QFETCH(QByteArray, before);
        QFETCH(QString, value);
        QFETCH(QString, readBefore);
        writeBytes(m_path, before);
        IniFile ini(m_path);
        QCOMPARE(ini.readString(kSection, QStringLiteral("Popis"), QStringLiteral("DEF")), readBefore);
        try {
            ini.writeString(kSection, QStringLiteral("Popis"), value);
            QFAIL("the write was not refused");
        } catch (const IniWriteError& e) {
            QCOMPARE(QString::fromStdString(e.what()), QStringLiteral("Unable to write to ") + m_path);
            QVERIFY2(e.reason().contains(u"UTF-8") || e.reason().contains(u"Windows-1250"), qPrintable(e.reason()));
        }
        QCOMPARE(readBytes(m_path), before);
        QCOMPARE(folderEntries(m_dir), QStringList{QStringLiteral("impulz.ini")});
    }

    // A value that keeps its length is written over in place only when its bytes lie within one sector, which a
    // power cut leaves whole; across a sector's end the file is replaced, as is a value that changes length.
    void sameLengthWriteStaysInItsSector() {
        const auto inode = [this] {
            struct stat st {};
            return ::stat(QFile::encodeName(m_path).constData(), &st) == 0 ? st.st_ino : ino_t(0);
        };
        struct Case {
            qsizetype padding; // bytes before the value's line
            QString before, after;
            bool inPlace;
        };
        const Case cases[] = {{0, QStringLiteral("41"), QStringLiteral("42"), true},
                              {481, QStringLiteral("10099"), QStringLiteral("10100"), true},  // bytes 509 to 511
                              {481, QStringLiteral("10099"), QStringLiteral("20100"), true},  // 507 to 511
                              {482, QStringLiteral("10099"), QStringLiteral("10100"), false}, // 510 to 512
                              {0, QStringLiteral("99"), QStringLiteral("100"), false}};
        for (const Case& c : cases) {
            const QByteArray head = "[Po spusteni]\n;" + QByteArray(c.padding, 'x') + "\nPor_cislo=";
            writeBytes(m_path, head + c.before.toLatin1() + "\nIP=1\n");
            const ino_t was = inode();
            IniFile(m_path).writeString(kSection, QStringLiteral("Por_cislo"), c.after);
            QCOMPARE(readBytes(m_path), head + c.after.toLatin1() + "\nIP=1\n");
            QCOMPARE(inode() == was, c.inPlace);
        }
    }

    // A save of every setting replaces the file once: one temporary file, one rename.
    void batchWriteReplacesOnce() {
        writeBytes(m_path, "[Po spusteni]\r\nPor_cislo=41\r\nIP=1\r\n");
        QList<std::pair<QString, QString>> values;
        for (int i = 0; i < 27; ++i)
            values.append({QStringLiteral("K%1").arg(i), QString::number(i)});
        values.append({QStringLiteral("IP"), QStringLiteral(" 10.0.0.1")});

        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(m_dir).constData(), IN_CREATE | IN_MOVED_TO) >= 0);
        IniFile ini(m_path);
        ini.writeValues(kSection, values);
        int created = 0;
        int renamed = 0;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                created += (event->mask & IN_CREATE) ? 1 : 0;
                renamed += (event->mask & IN_MOVED_TO) ? 1 : 0;
                p += sizeof(inotify_event) + event->len;
            }
        }
        ::close(watch);
        QCOMPARE(created, 1);
        QCOMPARE(renamed, 1);

        QByteArray expected("[Po spusteni]\r\nPor_cislo=41\r\nIP=\" 10.0.0.1\"\r\n");
        for (int i = 0; i < 27; ++i)
            expected += QStringLiteral("K%1=%1\r\n").arg(i).toLatin1();
        QCOMPARE(readBytes(m_path), expected);
        QCOMPARE(ini.readString(kSection, QStringLiteral("K26"), {}), QStringLiteral("26"));
        QCOMPARE(IniFile(m_path).readString(kSection, QStringLiteral("IP"), {}), QStringLiteral(" 10.0.0.1"));
    }

    void typedWrites() {
        writeBytes(m_path, "[Po spusteni]\nSec=0x0F\nBit0=yes\n");
        IniFile ini(m_path);
        ini.writeInteger(kSection, QStringLiteral("Sec"), 15);
        ini.writeBool(kSection, QStringLiteral("Bit0"), true);
        ini.writeBool(kSection, QStringLiteral("Bit1"), false);
        ini.writeInteger(kSection, QStringLiteral("Por_cislo"), std::numeric_limits<qint32>::min());
        QCOMPARE(readBytes(m_path), QByteArray("[Po spusteni]\nSec=15\nBit0=1\nBit1=0\nPor_cislo=-2147483648\n"));
        const IniFile back(m_path);
        QCOMPARE(back.readInteger(kSection, QStringLiteral("Por_cislo"), 0), std::numeric_limits<qint32>::min());
        QCOMPARE(back.readBool(kSection, QStringLiteral("Bit0"), false), true);
        QCOMPARE(back.readBool(kSection, QStringLiteral("Bit1"), true), false);
    }

    // Objects are made per load or save; one that lives longer must not undo what another wrote meanwhile.
    void writesOfTwoObjectsMerge() {
        IniFile early(m_path);
        IniFile other(m_path);
        other.writeString(kSection, QStringLiteral("IP"), QStringLiteral("10.0.0.1"));
        early.writeInteger(kSection, QStringLiteral("Por_cislo"), 5);
        const IniFile back(m_path);
        QCOMPARE(back.readString(kSection, QStringLiteral("IP"), QString()), QStringLiteral("10.0.0.1"));
        QCOMPARE(back.readInteger(kSection, QStringLiteral("Por_cislo"), 0), 5);
    }

    void keepsPermissionsAndLinks() {
        writeBytes(m_path, "[Po spusteni]\nIP=1\n");
        QVERIFY(::chmod(QFile::encodeName(m_path).constData(), 0640) == 0);
        IniFile(m_path).writeString(kSection, QStringLiteral("IP"), QStringLiteral("2"));
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(m_path).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0640));

        const QString link = m_dir + QStringLiteral("/link.ini");
        QVERIFY(QFile::link(m_path, link));
        IniFile(link).writeString(kSection, QStringLiteral("IP"), QStringLiteral("3"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readBytes(m_path), QByteArray("[Po spusteni]\nIP=3\n"));
    }

    // The whole chain of links is followed, also to a target that does not exist yet; the links stay links, and a
    // killed write's leftover is swept where the write puts its temporary file, beside the chain's end.
    void symlinkChainIsWrittenAtItsEnd_data() {
        QTest::addColumn<bool>("targetExists");
        QTest::newRow("target exists") << true;
        QTest::newRow("target still missing") << false;
    }

    void symlinkChainIsWrittenAtItsEnd() {
        QFETCH(bool, targetExists);
        QVERIFY(QDir(m_dir).mkdir(QStringLiteral("real")));
        const QString real = m_dir + QStringLiteral("/real/real.ini");
        if (targetExists)
            writeBytes(real, "[Po spusteni]\r\nIP=1\r\n");
        QVERIFY(QFile::link(QStringLiteral("real/real.ini"), m_dir + QStringLiteral("/mid.ini")));
        QVERIFY(QFile::link(QStringLiteral("mid.ini"), m_path));

        IniFile(m_path).writeString(kSection, QStringLiteral("IP"), QStringLiteral("2"));
        QVERIFY(QFileInfo(m_path).isSymLink());
        QVERIFY(QFileInfo(m_dir + QStringLiteral("/mid.ini")).isSymLink());
        QCOMPARE(readBytes(real),
                 targetExists ? QByteArray("[Po spusteni]\r\nIP=2\r\n") : QByteArray("[Po spusteni]\nIP=2\n"));
        QCOMPARE(folderEntries(m_dir + QStringLiteral("/real")), QStringList{QStringLiteral("real.ini")});

        const QString dead = QString::number(deadPid());
        const QString leftover = m_dir + QStringLiteral("/real/.real.ini.") + dead + QStringLiteral(".0.tmp");
        writeBytes(leftover, "[Po spusteni]\n");
        Settings settings;
        settings.setFilePath(m_path);
        settings.removeStaleTemporaryFiles();
        QVERIFY(!QFileInfo::exists(leftover));
    }

    // "dir/.." after a link to a folder goes to the link target's parent, as for every other program.
    void dotDotAfterALinkGoesWhereTheKernelGoes() {
        QVERIFY(QDir(m_dir).mkpath(QStringLiteral("deep/sub")));
        QVERIFY(QFile::link(m_dir + QStringLiteral("/deep/sub"), m_dir + QStringLiteral("/x")));
        const QString path = m_dir + QStringLiteral("/x/../impulz.ini");
        IniFile(path).writeString(kSection, QStringLiteral("IP"), QStringLiteral("2"));
        IniFile::update(path, kSection, {{QStringLiteral("Port"), QStringLiteral("3")}});
        QCOMPARE(readBytes(m_dir + QStringLiteral("/deep/impulz.ini")), QByteArray("[Po spusteni]\nIP=2\nPort=3\n"));
        QVERIFY(!QFileInfo::exists(m_path));
        QCOMPARE(IniFile(path).readString(kSection, QStringLiteral("Port"), {}), QStringLiteral("3"));
    }

    void writeFailures_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("write-protected file") << "protected";
        QTest::newRow("unreadable file") << "unreadable";
        QTest::newRow("folder at the path") << "folder";
        QTest::newRow("missing folder") << "missing";
    }

    void writeFailures() {
        QFETCH(QString, kind);
        const QByteArray original("[Po spusteni]\nIP=1\n; keep\n");
        QString path = m_path;
        if (kind == u"protected" || kind == u"unreadable") {
            writeBytes(m_path, original);
            QVERIFY(::chmod(QFile::encodeName(m_path).constData(), kind == u"protected" ? 0444 : 0222) == 0);
        } else if (kind == u"folder") {
            QVERIFY(QDir(m_dir).mkdir(QStringLiteral("impulz.ini")));
        } else {
            // A relative path: the message still names the full one.
            path = QDir(QDir::currentPath()).relativeFilePath(m_dir + QStringLiteral("/no/impulz.ini"));
        }

        QString message;
        QString reason;
        {
            const Unprivileged user;
            if (!user.ok())
                QSKIP("cannot drop root's privileges");
            IniFile ini(path);
            try {
                ini.writeString(kSection, QStringLiteral("IP"), QStringLiteral("2"));
            } catch (const IniWriteError& e) {
                message = QString::fromStdString(e.what());
                reason = e.reason();
            }
        }
        QCOMPARE(message, QStringLiteral("Unable to write to ") + QFileInfo(path).absoluteFilePath());
        // The log names the system's reason next to the path.
        const QString expectedReason = kind == u"folder"    ? QString::fromLocal8Bit(std::strerror(EISDIR))
                                       : kind == u"missing" ? QString::fromLocal8Bit(std::strerror(ENOENT))
                                                            : QString::fromLocal8Bit(std::strerror(EACCES));
        QCOMPARE(reason, expectedReason);
        if (kind == u"protected" || kind == u"unreadable") {
            QVERIFY(::chmod(QFile::encodeName(m_path).constData(), 0644) == 0);
            QCOMPARE(readBytes(m_path), original);
        }
        const QStringList expected = kind == u"missing" ? QStringList{} : QStringList{QStringLiteral("impulz.ini")};
        QCOMPARE(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), expected);
    }

    void writesInPlaceWhenFolderIsReadOnly() {
        writeBytes(m_path, "[Po spusteni]\nPopis=a much longer description than the new one\nIP=1\n");
        QVERIFY(::chmod(QFile::encodeName(m_path).constData(), 0666) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0555) == 0);
        bool written = false;
        {
            const Unprivileged user;
            if (user.ok()) {
                IniFile(m_path).writeString(kSection, QStringLiteral("Popis"), QStringLiteral("short"));
                written = true;
            }
        }
        QVERIFY(::chmod(QFile::encodeName(m_dir).constData(), 0777) == 0);
        if (!written)
            QSKIP("cannot drop root's privileges");
        QCOMPARE(readBytes(m_path), QByteArray("[Po spusteni]\nPopis=short\nIP=1\n"));
    }

    void settingsPath_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no extension") << "/opt/impulz/impulz"
                                      << "/opt/impulz/impulz.ini";
        QTest::newRow("extension") << "/opt/impulz/impulz.exe"
                                   << "/opt/impulz/impulz.ini";
        QTest::newRow("last extension only") << "/opt/impulz/impulz.app.bin"
                                             << "/opt/impulz/impulz.app.ini";
        QTest::newRow("dot in a folder") << "/opt/impulz.d/impulz"
                                         << "/opt/impulz.d/impulz.ini";
        QTest::newRow("hidden name") << "/opt/impulz/.impulz"
                                     << "/opt/impulz/.impulz.ini";
    }

    void settingsPath() {
        QFETCH(QString, executable);
        QFETCH(QString, expected);
        QCOMPARE(settingsPathFor(executable), expected);
    }

    // Beside the executable where the operator may write (or a file already stands); otherwise the user's
    // configuration folder, created by the first write.
    void resolveSettingsPath_data() {
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<bool>("beside");
        QTest::newRow("writable folder") << true << false << true;
        QTest::newRow("read-only folder with the file") << false << true << true;
        QTest::newRow("read-only folder without the file") << false << false << false;
    }

    void resolveSettingsPath() {
        QFETCH(bool, folderWritable);
        QFETCH(bool, fileExists);
        QFETCH(bool, beside);
        const QString bin = m_dir + QStringLiteral("/bin");
        QVERIFY(QDir().mkpath(bin));
        if (fileExists)
            writeBytes(bin + QStringLiteral("/impulz.ini"), "[Po spusteni]\n");
        QVERIFY(::chmod(QFile::encodeName(bin).constData(), folderWritable ? 0777 : 0555) == 0);
        const QString config = m_dir + QStringLiteral("/home/.config");
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        QString resolved;
        QString written;
        {
            const Unprivileged user;
            if (user.ok()) {
                resolved = ::resolveSettingsPath(bin + QStringLiteral("/impulz"));
                try {
                    IniFile(resolved).writeInteger(kSection, QStringLiteral("Por_cislo"), 7);
                    written = resolved;
                } catch (const IniWriteError& e) {
                    written = e.reason();
                }
            }
        }
        qputenv("XDG_CONFIG_HOME", oldConfig);
        QVERIFY(::chmod(QFile::encodeName(bin).constData(), 0777) == 0);
        if (resolved.isEmpty())
            QSKIP("cannot drop root's privileges");
        QCOMPARE(resolved,
                 beside ? bin + QStringLiteral("/impulz.ini") : config + QStringLiteral("/impulz/impulz.ini"));
        if (!fileExists) {
            QCOMPARE(written, resolved);
            QCOMPARE(IniFile(resolved).readInteger(kSection, QStringLiteral("Por_cislo"), 0), 7);
        }
    }

    // A file named on the command line must exist and decode; the default file may still be missing.
    void settingsFileProblem_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("missingIsFine");
        QTest::addColumn<QString>("problem");

        const QString unknown = QStringLiteral("neznámé kódování textu (%1)");
        const QByteArray ini("[Po spusteni]\r\nPopis=Linka \xC4\x8D. 3\r\n");
        QTest::newRow("UTF-8") << "file" << ini << false << "";
        QTest::newRow("UTF-8 with mark") << "file"
                                         << "\xEF\xBB\xBF" + ini << false << "";
        QTest::newRow("UTF-16 LE with mark")
            << "file" << utf16(QStringLiteral("[Po spusteni]\nPopis=č\n"), false) << false << "";
        QTest::newRow("UTF-16 BE with mark")
            << "file" << utf16(QStringLiteral("[Po spusteni]\nPopis=č\n"), true) << false << "";
        QTest::newRow("Windows-1250") << "file" << QByteArray("[Po spusteni]\nPopis=\xE8\x9A\n") << false << "";
        QTest::newRow("empty") << "file" << QByteArray() << false << "";
        QTest::newRow("missing") << "missing" << QByteArray() << false << "soubor neexistuje";
        QTest::newRow("missing default") << "missing" << QByteArray() << true << "";
        QTest::newRow("link to a missing file")
            << "dangling" << QByteArray() << false << "odkaz vede na soubor, který neexistuje";
        QTest::newRow("link to a missing default") << "dangling" << QByteArray() << true << "";
        QTest::newRow("folder") << "folder" << QByteArray() << true << "je to adresář";
        QTest::newRow("FIFO") << "fifo" << QByteArray() << true << "není obyčejný soubor";
        QTest::newRow("unreadable") << "unreadable" << ini << true
                                    << "nelze číst (" + QString::fromLocal8Bit(std::strerror(EACCES)) + ")";
        QTest::newRow("folder in the path is a file")
            << "notdir" << QByteArray() << true
            << "nelze číst (" + QString::fromLocal8Bit(std::strerror(ENOTDIR)) + ")";
        QTest::newRow("UTF-16 without mark") << "file" << utf16(QStringLiteral("[Po spusteni]\nIP=1\n"), false).mid(2)
                                             << false << unknown.arg(QStringLiteral("bajt NUL"));
        QTest::newRow("NUL byte") << "file" << QByteArray("[Po spusteni]\nIP=1\0\n", 20) << false
                                  << unknown.arg(QStringLiteral("bajt NUL"));
        for (const char b : {'\x81', '\x83', '\x88', '\x90', '\x98'}) {
            const QString hex = QString::number(quint8(b), 16).toUpper();
            QTest::addRow("byte 0x%s", qPrintable(hex))
                << "file" << QByteArray("[Po spusteni]\nPopis=\xE8") + b + '\n'
                << false << unknown.arg(QStringLiteral("bajt 0x%1 není UTF-8 ani Windows-1250").arg(hex));
        }
        QTest::newRow("UTF-16 odd length") << "file" << utf16(QStringLiteral("[Po spusteni]\n"), false) + 'x' << false
                                           << unknown.arg(QStringLiteral("neplatné UTF-16"));
        QTest::newRow("bad UTF-8 after the mark")
            << "file" << QByteArray("\xEF\xBB\xBF[Po spusteni]\nPopis=\xE8\n") << false
            << unknown.arg(QStringLiteral("za značkou UTF-8 bajty, které nejsou UTF-8"));
    }

    void settingsFileProblem() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, missingIsFine);
        QFETCH(QString, problem);
        QString path = m_path;
        if (kind == u"file" || kind == u"unreadable")
            writeBytes(m_path, bytes);
        if (kind == u"unreadable")
            QVERIFY(::chmod(QFile::encodeName(m_path).constData(), 0200) == 0);
        if (kind == u"dangling")
            QVERIFY(QFile::link(QStringLiteral("gone.ini"), m_path));
        if (kind == u"folder")
            QVERIFY(QDir(m_dir).mkdir(QStringLiteral("impulz.ini")));
        if (kind == u"fifo")
            QVERIFY(::mkfifo(QFile::encodeName(m_path).constData(), 0600) == 0);
        if (kind == u"notdir") {
            writeBytes(m_path, "[Po spusteni]\n");
            path = m_path + QStringLiteral("/impulz.ini");
        }
        QString found;
        {
            const Unprivileged user;
            if (!user.ok())
                QSKIP("cannot drop root's privileges");
            found = ::settingsFileProblem(path, missingIsFine);
        }
        QCOMPARE(found, problem);
    }

    // Beside the executable in a folder of its own, as a build folder; a system-wide install keeps every user's
    // settings in their configuration folder, also root's, who could write the program's folder.
    void systemInstall_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<bool>("system");
        QTest::newRow("/usr/bin") << "/usr/bin/impulz" << true;
        QTest::newRow("/usr/sbin") << "/usr/sbin/impulz" << true;
        QTest::newRow("/usr/local/bin") << "/usr/local/bin/impulz" << true;
        QTest::newRow("/usr/lib helper") << "/usr/lib/impulz/impulz" << true;
        QTest::newRow("/usr/libexec") << "/usr/libexec/impulz" << true;
        QTest::newRow("install prefix") << "/srv/impulz-prefix/bin/impulz" << true;
        QTest::newRow("install prefix, other folder") << "/srv/impulz-prefix/impulz" << false;
        QTest::newRow("build folder") << "/work/main/build/impulz" << false;
        QTest::newRow("unpacked in home") << "/home/op/impulz/impulz" << false;
        QTest::newRow("build below /usr/local/src") << "/usr/local/src/impulz/build/impulz" << false;
        QTest::newRow("look-alike") << "/usr/binx/impulz" << false;
        QTest::newRow("opt, root's bin") << "@opt/vendor/bin/impulz" << true;
        QTest::newRow("opt, a user's bin") << "@opt/mine/bin/impulz" << false;
        QTest::newRow("opt, no bin") << "@opt/vendor/impulz" << false;
    }

    void systemInstall() {
        QFETCH(QString, executable);
        QFETCH(bool, system);
        const QString opt = m_dir + QStringLiteral("/opt");
        QVERIFY(QDir().mkpath(opt + QStringLiteral("/vendor/bin")));
        QVERIFY(QDir().mkpath(opt + QStringLiteral("/mine/bin")));
        const bool root = ::geteuid() == 0;
        if (root)
            QVERIFY(::chown(QFile::encodeName(opt + QStringLiteral("/mine/bin")).constData(), 65534, 65534) == 0);
        else if (executable.contains(u"vendor/bin"))
            QSKIP("only root makes a folder that root owns");
        executable.replace(QStringLiteral("@opt"), opt);
        QCOMPARE(isSystemInstall(executable, QStringLiteral("/srv/impulz-prefix"), opt), system);
    }

    void installedProgramUsesTheConfigFolder() {
        QVERIFY(QDir(m_dir).mkdir(QStringLiteral("build")));
        const QString config = m_dir + QStringLiteral("/config");
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        const QString installed = ::resolveSettingsPath(QStringLiteral("/usr/bin/impulz"));
        const QString built = ::resolveSettingsPath(m_dir + QStringLiteral("/build/impulz"));
        qputenv("XDG_CONFIG_HOME", oldConfig);
        QCOMPARE(installed, config + QStringLiteral("/impulz/impulz.ini"));
        QCOMPARE(built, m_dir + QStringLiteral("/build/impulz.ini"));
    }

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_dir;
    QString m_path;
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
