// The settings file format: whatever ReadFile accepts must come back
// unchanged (names, values and value kinds) through WriteFile and ReadFile.

#include "FuzzSupport.h"
#include "RegistryIniFile.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

namespace {

std::string Describe(const QSettings::SettingsMap &map)
{
    std::string text;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        text += it.key().toStdString() + " = " + it.value().toString().toStdString() + " (" +
                it.value().typeName() + ")\n";
    return text;
}

bool SameMaps(const QSettings::SettingsMap &a, const QSettings::SettingsMap &b)
{
    if (a.size() != b.size())
        return false;
    for (auto it = a.cbegin(), jt = b.cbegin(); it != a.cend(); ++it, ++jt) {
        if (it.key() != jt.key() || it.value().typeId() != jt.value().typeId() || it.value() != jt.value())
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInitializeApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QBuffer input(&bytes);
    input.open(QIODevice::ReadOnly);
    QSettings::SettingsMap first;
    if (!TRegistryIniFile::ReadFile(input, first))
        return 0;

    QByteArray written;
    QBuffer output(&written);
    output.open(QIODevice::WriteOnly);
    FUZZ_CHECK(TRegistryIniFile::WriteFile(output, first), "WriteFile failed on an accepted map");
    output.close();

    QBuffer again(&written);
    again.open(QIODevice::ReadOnly);
    QSettings::SettingsMap second;
    const bool reread = TRegistryIniFile::ReadFile(again, second);
    FUZZ_CHECK(reread, "the written file is not accepted:\n" + written.toStdString());
    FUZZ_CHECK(SameMaps(first, second), "round trip changed the settings:\n" + Describe(first) +
                                            "--- became ---\n" + Describe(second) + "--- file ---\n" +
                                            written.toStdString());
    return 0;
}
