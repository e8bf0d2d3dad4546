#pragma once

// The command line of a benchmark: positional arguments, each with a default
// when it is left out, and one usage line for a call that makes no sense.

#include <QString>
#include <QStringList>

class BenchArguments
{
public:
    // usage: what follows "usage: " on stderr, e.g. "bench_x [repeats]".
    BenchArguments(int argc, char *argv[], const char *usage);

    // Removes "name VALUE" from the arguments, wherever it is, so the
    // positions below count without it; false when name is not there.
    // A name without a value counts as there with an empty value.
    bool takeOption(const QString &name, QString &value);

    // How many arguments follow the program name.
    int count() const { return m_arguments.size(); }
    // Argument `position` (1 is the first after the program name), or
    // fallback when the call has fewer.
    QString text(int position, const QString &fallback = QString()) const;
    // The same as a number; a text that is no number counts as 0.
    int number(int position, int fallback) const;
    // A count of runs or entries: at least 1.
    int atLeastOne(int position, int fallback) const;
    // A folder for the benchmark's throw-away files: the system's temporary
    // folder unless the call names one.
    QString parentDirectory(int position) const;

    // Prints the usage line; returns the exit code of a bad call.
    int usageError() const;

private:
    QStringList m_arguments;
    const char *m_usage;
};
