#pragma once

#include <QSettings>

#include <memory>
#include <string>

// The per-user settings store in place of a registry key opened as an ini
// file. A key path such as "\Software\Pennoric\Corvane Alerts" becomes the
// file "<config dir>/Pennoric/Corvane Alerts.conf"; each section is a group of
// named values, and every value keeps its kind: a 32-bit integer or a string.
//
// Reading: ReadInteger accepts an integer, or a string that holds a decimal
// integer; anything else gives the default. ReadBool is ReadInteger != 0.
// Writing: WriteInteger keeps a value that exists as a string a string (the
// decimal text); WriteBool writes the string "0" or "1".
//
// The file is written atomically when the store is freed. A missing,
// unreadable or corrupt file reads as empty (every value its default), with
// one line on standard error; a corrupt file is kept beside the new one as
// "<name>.corrupt" so the next save loses nothing that was there.
class TRegistryIniFile
{
public:
    explicit TRegistryIniFile(const std::string &keyPath);
    ~TRegistryIniFile();
    TRegistryIniFile(const TRegistryIniFile &) = delete;
    TRegistryIniFile &operator=(const TRegistryIniFile &) = delete;

    std::string ReadString(const std::string &section, const std::string &name, const std::string &def);
    int ReadInteger(const std::string &section, const std::string &name, int def);
    bool ReadBool(const std::string &section, const std::string &name, bool def);

    void WriteString(const std::string &section, const std::string &name, const std::string &value);
    void WriteInteger(const std::string &section, const std::string &name, int value);
    void WriteBool(const std::string &section, const std::string &name, bool value);

    // Writes pending changes now; also done by the destructor.
    void UpdateFile();

    const QString &FileName() const { return FFileName; }

    // The file a key path maps to, under the user's config directory.
    static QString FileNameForKey(const std::string &keyPath);

    // The file format, for tests and tools that read a settings file directly.
    static bool ReadFile(QIODevice &device, QSettings::SettingsMap &map);
    static bool WriteFile(QIODevice &device, const QSettings::SettingsMap &map);

private:
    QVariant Value(const std::string &section, const std::string &name) const;
    void SetValue(const std::string &section, const std::string &name, const QVariant &value);

    QString FFileName;
    std::unique_ptr<QSettings> FSettings;
};
