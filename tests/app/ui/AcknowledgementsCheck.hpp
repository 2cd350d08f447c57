#pragma once

// What every row of an acknowledgements folder must carry: more than a pointer to a text, and each common
// licence the row names ("License: LGPL-2.1+", a path under /usr/share/common-licenses) whole, once.
#include "app/ui/Acknowledgements.hpp"
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <filesystem>
#include <map>
#include <string>

namespace corvane::test {

inline const QString commonLicences = "/usr/share/common-licenses/";

// The licence as Debian's file has it, trimmed; empty when there is no such file.
inline QString commonLicence(const QString& name) {
    QFile in(commonLicences + name);
    return in.open(QIODevice::ReadOnly) ? QString::fromUtf8(in.readAll()).trimmed() : QString();
}

// The common licences a text names, by versioned short name in its "License:" lines or by path.
inline QStringList licencesNamed(const QString& text) {
    QStringList names;
    static const QRegularExpression field("^License: (.+)$", QRegularExpression::MultilineOption),
        shortName(R"((?<![\w.+-])([A-Za-z][A-Za-z0-9]*-\d(?:[\d.]*\d)?|Artistic)\+?(?=$|[\s,]))"),
        path(QRegularExpression::escape(commonLicences) + R"(([A-Za-z0-9][\w.+-]*[\w+]))");
    for (const auto& line : field.globalMatch(text))
        for (const auto& name : shortName.globalMatch(line.captured(1))) names << name.captured(1);
    for (const auto& cited : path.globalMatch(text)) names << cited.captured(1);
    names.removeDuplicates();
    names.removeIf([](const QString& name) { return commonLicence(name).isEmpty(); });
    return names;
}

// One line for each fault in the rows of `folder` (the app's, from its index) and of its box/ subfolder:
// a text of a few lines only, a named licence missing or twice (whitespace aside), and a licence in
// `exact` (row name's start -> licences) not there byte for byte.
inline std::string rowsShortOfTheirLicences(const std::filesystem::path& folder,
                                            const std::map<std::string, QStringList>& exact) {
    std::string faults;
    std::vector<std::pair<std::string, std::filesystem::path>> rows;
    for (const auto& row : Acknowledgements::components()) rows.emplace_back(row.name, folder / row.file);
    for (const auto& row : Acknowledgements::boxComponents)
        if (!row.file.empty()) rows.emplace_back("box " + row.name, folder / "box" / row.file);
    for (const auto& [name, file] : rows) {
        const QString text = Acknowledgements::licence(file), words = text.simplified();
        if (text.count('\n') < 10) faults += name + ": only " + std::to_string(text.count('\n') + 1) + " lines\n";
        QStringList wanted = licencesNamed(text);
        for (const auto& [start, licences] : exact)
            if (name.starts_with(start)) {
                wanted << licences;
                for (const QString& licence : licences)
                    if (!text.contains(commonLicence(licence)))
                        faults += name + ": " + licence.toStdString() + " not as Debian's file has it\n";
            }
        wanted.removeDuplicates();
        for (const QString& licence : wanted)
            if (const qsizetype copies = words.count(commonLicence(licence).simplified()); copies != 1)
                faults += name + ": " + licence.toStdString() + " whole " + std::to_string(copies) + " times\n";
    }
    return faults;
}

} // namespace corvane::test
