#include "benchargs.h"

#include <QDir>
#include <QtGlobal>

#include <cstdio>

BenchArguments::BenchArguments(int argc, char *argv[], const char *usage)
    : m_usage(usage)
{
    for (int i = 1; i < argc; ++i)
        m_arguments << QString::fromLocal8Bit(argv[i]);
}

bool BenchArguments::takeOption(const QString &name, QString &value)
{
    const int at = m_arguments.indexOf(name);
    if (at < 0)
        return false;
    value = m_arguments.value(at + 1);
    m_arguments.erase(m_arguments.begin() + at, m_arguments.begin() + qMin(at + 2, m_arguments.size()));
    return true;
}

QString BenchArguments::text(int position, const QString &fallback) const
{
    return position <= m_arguments.size() ? m_arguments.at(position - 1) : fallback;
}

int BenchArguments::number(int position, int fallback) const
{
    return position <= m_arguments.size() ? m_arguments.at(position - 1).toInt() : fallback;
}

int BenchArguments::atLeastOne(int position, int fallback) const
{
    return position <= m_arguments.size() ? qMax(1, m_arguments.at(position - 1).toInt()) : fallback;
}

QString BenchArguments::parentDirectory(int position) const
{
    return text(position, QDir::tempPath());
}

int BenchArguments::usageError() const
{
    std::fprintf(stderr, "usage: %s\n", m_usage);
    return 2;
}
