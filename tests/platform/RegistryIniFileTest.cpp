#include "RegistryIniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const std::string KeyPath = "\\Software\\Pennoric\\Corvane Alerts";

// Points the user's config directory at a fresh temporary folder.
class RegistryIniFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Home.isValid());
        qputenv("XDG_CONFIG_HOME", Home.path().toUtf8());
    }
    void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }

    QString FilePath() const { return Home.path() + QStringLiteral("/Pennoric/Corvane Alerts.conf"); }

    QByteArray FileText() const
    {
        QFile f(FilePath());
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return f.readAll();
    }

    void WriteFileText(const QByteArray &text)
    {
        QDir().mkpath(Home.path() + QStringLiteral("/Pennoric"));
        QFile f(FilePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    QTemporaryDir Home;
};

} // namespace

TEST_F(RegistryIniFileTest, KeyPathMapsToAFileUnderTheConfigDirectory)
{
    EXPECT_EQ(TRegistryIniFile::FileNameForKey(KeyPath), FilePath());
}

TEST_F(RegistryIniFileTest, MissingFileGivesDefaults)
{
    TRegistryIniFile settings(KeyPath);
    EXPECT_EQ(settings.ReadString("Main", "User", "dflt"), "dflt");
    EXPECT_EQ(settings.ReadInteger("Main", "Left", 70), 70);
    EXPECT_TRUE(settings.ReadBool("Window1", "Visible", true));
    EXPECT_FALSE(settings.ReadBool("Window1", "Visible", false));
}

TEST_F(RegistryIniFileTest, ValuesKeepTheirKindAcrossASave)
{
    {
        TRegistryIniFile settings(KeyPath);
        settings.WriteString("Main", "User", "trader \"one\"\\x\n");
        settings.WriteInteger("Main", "Left", -12);
        settings.WriteInteger("Window1", "Width", 401);
        settings.WriteBool("Window1", "Visible", true);
    }
    const QByteArray text = FileText();
    EXPECT_NE(text.indexOf("[Main]"), -1);
    EXPECT_NE(text.indexOf("\"Left\"=dword:fffffff4"), -1) << text.constData();
    EXPECT_NE(text.indexOf("\"Width\"=dword:00000191"), -1) << text.constData();
    EXPECT_NE(text.indexOf("\"Visible\"=\"1\""), -1) << text.constData();

    TRegistryIniFile settings(KeyPath);
    EXPECT_EQ(settings.ReadString("Main", "User", ""), "trader \"one\"\\x\n");
    EXPECT_EQ(settings.ReadInteger("Main", "Left", 0), -12);
    EXPECT_EQ(settings.ReadInteger("Window1", "Width", 0), 401);
    EXPECT_TRUE(settings.ReadBool("Window1", "Visible", false));
    // An integer read as a string is its decimal text.
    EXPECT_EQ(settings.ReadString("Window1", "Width", ""), "401");
}

TEST_F(RegistryIniFileTest, IntegerStoredAsStringIsReadAsIntegerAndWrittenBackAsString)
{
    WriteFileText("[Window1]\n\"Width\"=\"250\"\n\"Height\"=\"tall\"\n\"Left\"=\" 5\"\n");
    {
        TRegistryIniFile settings(KeyPath);
        EXPECT_EQ(settings.ReadInteger("Window1", "Width", 1), 250);
        EXPECT_EQ(settings.ReadInteger("Window1", "Height", 480), 480);
        EXPECT_EQ(settings.ReadInteger("Window1", "Left", 7), 7);
        settings.WriteInteger("Window1", "Width", 250);
        settings.WriteInteger("Window1", "Top", 9);
    }
    const QByteArray text = FileText();
    EXPECT_NE(text.indexOf("\"Width\"=\"250\""), -1) << text.constData();
    EXPECT_NE(text.indexOf("\"Top\"=dword:00000009"), -1) << text.constData();
}

class CorruptSettingsFile : public RegistryIniFileTest, public ::testing::WithParamInterface<const char *>
{};

TEST_P(CorruptSettingsFile, GivesDefaultsKeepsTheOldFileAndStillSaves)
{
    WriteFileText(GetParam());
    {
        TRegistryIniFile settings(KeyPath);
        EXPECT_EQ(settings.ReadInteger("Main", "Left", 70), 70);
        EXPECT_EQ(settings.ReadString("Main", "User", ""), "");
        settings.WriteInteger("Main", "Left", 33);
    }
    EXPECT_TRUE(QFile::exists(FilePath() + QStringLiteral(".corrupt")));
    TRegistryIniFile settings(KeyPath);
    EXPECT_EQ(settings.ReadInteger("Main", "Left", 0), 33);
}

INSTANTIATE_TEST_SUITE_P(Files, CorruptSettingsFile,
                         ::testing::Values("\"User\"=\"outside any section\"\n", "[Main\n",
                                           "[Main]\nUser=unquoted\n", "[Main]\n\"Left\"=dword:xyz\n",
                                           "[Main]\n\"Left\"=dword:123456789\n", "[Main]\n\"User\"=\"open\n",
                                           "[Main]\n\"User\"=\"bad \\q escape\"\n"),
                         [](const auto &info) { return "Case" + std::to_string(info.index); });
