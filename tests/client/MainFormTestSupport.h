#pragma once

#include "AlertWindowUnit.h"
#include "CorvaneAlertsMain.h"
#include "RegistryIniFile.h"

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <vector>

// HOME and XDG_CONFIG_HOME pointed at a fresh folder while the object lives, so
// every file the client writes lands there.
class TTemporaryHome
{
public:
    TTemporaryHome()
        : FOldHome(qgetenv("HOME")), FOldConfig(qgetenv("XDG_CONFIG_HOME")),
          FHadConfig(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
    {
        qputenv("HOME", FDir.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", ConfigDir().toLocal8Bit());
    }
    ~TTemporaryHome()
    {
        qputenv("HOME", FOldHome);
        if (FHadConfig)
            qputenv("XDG_CONFIG_HOME", FOldConfig);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    TTemporaryHome(const TTemporaryHome &) = delete;
    TTemporaryHome &operator=(const TTemporaryHome &) = delete;

    bool IsValid() const { return FDir.isValid(); }
    QString Path() const { return FDir.path(); }
    QString ConfigDir() const { return FDir.path() + QStringLiteral("/.config"); }
    static QString SettingsFile() { return TRegistryIniFile::FileNameForKey(TMainForm::SettingsKey); }

    // The settings file as name -> value (an int for a 32-bit integer, a
    // QString for a string); empty when there is no file.
    static QSettings::SettingsMap ReadSettings()
    {
        QSettings::SettingsMap map;
        QFile file(SettingsFile());
        if (file.open(QIODevice::ReadOnly))
            TRegistryIniFile::ReadFile(file, map);
        return map;
    }

    // Every file under the folder whose bytes contain the text.
    QStringList FilesContaining(const QByteArray &text) const
    {
        QStringList found;
        QDirIterator it(FDir.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text))
                found << file.fileName();
        }
        return found;
    }

    // How many files the folder holds, so a scan can be seen to have looked.
    int FileCount() const
    {
        int count = 0;
        QDirIterator it(FDir.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++count;
        }
        return count;
    }

private:
    QTemporaryDir FDir;
    QByteArray FOldHome;
    QByteArray FOldConfig;
    bool FHadConfig;
};

// Alert windows live until the process ends, as in the program: a test hands
// them over here when its main form goes, hidden, so they stay reachable.
inline void KeepAlertWindows(const TAlertForms &forms)
{
    static std::vector<TAlertForm *> survivors;
    for (TAlertForm *form : forms) {
        form->hide();
        survivors.push_back(form);
    }
}
