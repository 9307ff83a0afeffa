// Paths between Qt and the core, which takes a path as bytes: on Linux the
// file system's own bytes (what QFile::encodeName gives); on Windows UTF-8
// with the system's backslashes, which the core opens through the wide
// calls and shows in its messages as Windows users write paths.

#ifndef KARVELLO_APP_FILEPATHS_H_
#define KARVELLO_APP_FILEPATHS_H_

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <string>

namespace karvello {

inline std::string PathBytes(const QString& path) {
#ifdef _WIN32
  return QDir::toNativeSeparators(path).toStdString();
#else
  return QFile::encodeName(path).toStdString();
#endif
}

inline QString PathText(const std::string& path) {
#ifdef _WIN32
  return QDir::fromNativeSeparators(QString::fromStdString(path));
#else
  return QFile::decodeName(QByteArray::fromStdString(path));
#endif
}

}  // namespace karvello

#endif  // KARVELLO_APP_FILEPATHS_H_
