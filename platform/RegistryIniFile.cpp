#include "RegistryIniFile.h"

#include "Exceptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QStandardPaths>

#include <cstdio>

namespace {

QSettings::Format SettingsFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(
        QStringLiteral("conf"), &TRegistryIniFile::ReadFile, &TRegistryIniFile::WriteFile, Qt::CaseSensitive);
    return format;
}

QString Key(const std::string &section, const std::string &name)
{
    return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(name);
}

bool IsInteger(const QVariant &value)
{
    return value.typeId() == QMetaType::Int;
}

// Decimal, an optional sign, 32-bit range; no blanks.
bool ParseInteger(const QString &text, int &result)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || text.isEmpty() || text.trimmed() != text)
        return false;
    result = value;
    return true;
}

QByteArray Quote(const QString &text)
{
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
        } else {
            out += c;
        }
    }
    return out + '"';
}

// Reads a quoted text starting at pos (on the opening quote); leaves pos after
// the closing quote.
bool Unquote(const QByteArray &line, int &pos, QByteArray &out)
{
    if (pos >= line.size() || line[pos] != '"')
        return false;
    ++pos;
    while (pos < line.size()) {
        const char c = line[pos++];
        if (c == '"')
            return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size())
            return false;
        const char e = line[pos++];
        if (e == '"' || e == '\\') {
            out += e;
        } else if (e == 'x' && pos + 2 <= line.size()) {
            bool ok = false;
            const int byte = line.mid(pos, 2).toInt(&ok, 16);
            if (!ok)
                return false;
            out += static_cast<char>(byte);
            pos += 2;
        } else {
            return false;
        }
    }
    return false;
}

} // namespace

bool TRegistryIniFile::ReadFile(QIODevice &device, QSettings::SettingsMap &map)
{
    QString section;
    while (!device.atEnd()) {
        QByteArray line = device.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            // A section starting with "/" would be written back as "[]".
            if (!line.endsWith(']') || line.size() < 3 || line[1] == '/')
                return false;
            section = QString::fromUtf8(line.mid(1, line.size() - 2));
            continue;
        }
        if (section.isEmpty())
            return false;
        int pos = 0;
        QByteArray name;
        if (!Unquote(line, pos, name) || name.isEmpty() || pos >= line.size() || line[pos] != '=')
            return false;
        ++pos;
        const QString key = section + QLatin1Char('/') + QString::fromUtf8(name);
        if (line.mid(pos).startsWith("dword:")) {
            const QByteArray hex = line.mid(pos + 6);
            bool ok = false;
            const uint value = hex.toUInt(&ok, 16);
            if (!ok || hex.isEmpty() || hex.size() > 8)
                return false;
            map.insert(key, static_cast<int>(value));
            continue;
        }
        QByteArray text;
        if (!Unquote(line, pos, text) || pos != line.size())
            return false;
        map.insert(key, QString::fromUtf8(text));
    }
    return true;
}

bool TRegistryIniFile::WriteFile(QIODevice &device, const QSettings::SettingsMap &map)
{
    QByteArray out = "; Corvane Trading Alerts settings. \"name\"=dword:<hex> is a 32-bit integer,\n"
                     "; \"name\"=\"text\" a string.\n";
    QString section;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(QLatin1Char('/'));
        const QString keySection = it.key().left(slash);
        const QString name = it.key().mid(slash + 1);
        if (keySection != section || it == map.cbegin()) {
            section = keySection;
            out += "\n[" + section.toUtf8() + "]\n";
        }
        out += Quote(name) + '=';
        if (IsInteger(it.value()))
            out += "dword:" + QByteArray::number(static_cast<uint>(it.value().toInt()), 16).rightJustified(8, '0');
        else
            out += Quote(it.value().toString());
        out += '\n';
    }
    return device.write(out) == out.size();
}

QString TRegistryIniFile::FileNameForKey(const std::string &keyPath)
{
    QStringList parts = QString::fromStdString(keyPath).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (!parts.isEmpty() && parts.first().compare(QStringLiteral("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    Assert(!parts.isEmpty());
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return dir + QLatin1Char('/') + parts.join(QLatin1Char('/')) + QStringLiteral(".conf");
}

TRegistryIniFile::TRegistryIniFile(const std::string &keyPath) : FFileName(FileNameForKey(keyPath))
{
    QDir().mkpath(QFileInfo(FFileName).absolutePath());
    FSettings = std::make_unique<QSettings>(FFileName, SettingsFormat());
    const QFileInfo info(FFileName);
    if (FSettings->status() == QSettings::NoError && (!info.exists() || info.isReadable()))
        return;
    // Keep what cannot be read, and start from the defaults.
    std::fprintf(stderr, "corvane: settings file %s cannot be read; using defaults (kept as %s.corrupt)\n",
                 qPrintable(FFileName), qPrintable(FFileName));
    FSettings.reset();
    QFile::remove(FFileName + QStringLiteral(".corrupt"));
    if (!QFile::rename(FFileName, FFileName + QStringLiteral(".corrupt")))
        std::fprintf(stderr, "corvane: could not move %s aside\n", qPrintable(FFileName));
    FSettings = std::make_unique<QSettings>(FFileName, SettingsFormat());
}

TRegistryIniFile::~TRegistryIniFile()
{
    UpdateFile();
}

void TRegistryIniFile::UpdateFile()
{
    FSettings->sync();
    if (FSettings->status() == QSettings::AccessError)
        std::fprintf(stderr, "corvane: settings file %s could not be written\n", qPrintable(FFileName));
}

QVariant TRegistryIniFile::Value(const std::string &section, const std::string &name) const
{
    return FSettings->value(Key(section, name));
}

void TRegistryIniFile::SetValue(const std::string &section, const std::string &name, const QVariant &value)
{
    FSettings->setValue(Key(section, name), value);
}

std::string TRegistryIniFile::ReadString(const std::string &section, const std::string &name, const std::string &def)
{
    const QVariant value = Value(section, name);
    if (!value.isValid())
        return def;
    return value.toString().toStdString();
}

int TRegistryIniFile::ReadInteger(const std::string &section, const std::string &name, int def)
{
    const QVariant value = Value(section, name);
    if (IsInteger(value))
        return value.toInt();
    int parsed = 0;
    if (value.isValid() && ParseInteger(value.toString(), parsed))
        return parsed;
    return def;
}

bool TRegistryIniFile::ReadBool(const std::string &section, const std::string &name, bool def)
{
    return ReadInteger(section, name, def ? 1 : 0) != 0;
}

void TRegistryIniFile::WriteString(const std::string &section, const std::string &name, const std::string &value)
{
    SetValue(section, name, QString::fromStdString(value));
}

void TRegistryIniFile::WriteInteger(const std::string &section, const std::string &name, int value)
{
    const QVariant existing = Value(section, name);
    if (existing.isValid() && !IsInteger(existing))
        SetValue(section, name, QString::number(value));
    else
        SetValue(section, name, value);
}

void TRegistryIniFile::WriteBool(const std::string &section, const std::string &name, bool value)
{
    WriteString(section, name, value ? "1" : "0");
}
