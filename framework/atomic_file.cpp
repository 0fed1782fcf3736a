// Whole-file reads and replacements by name in one folder.
#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <cerrno>
#include <cstring>

namespace {

class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const { return m_fd; }

 private:
  int m_fd;
};

bool fail(QString* error, const QString& what) {
  if (error != nullptr)
    *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
  return false;
}

}  // namespace

std::optional<QByteArray> Corvane_ReadFile(const QString& path, qint64 maxBytes) {
  const Fd fd(::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  QByteArray out;
  out.resize(maxBytes);
  qint64 got = 0;
  while (got < maxBytes) {
    const ssize_t n = ::read(fd.get(), out.data() + got, static_cast<size_t>(maxBytes - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  out.resize(got);
  return out;
}

bool Corvane_WriteFileAtomically(const QString& dir, const QString& name, const QByteArray& data,
                                 QString* error) {
  const QByteArray dirPath = (dir.isEmpty() ? QStringLiteral(".") : dir).toLocal8Bit();
  const Fd dfd(::open(dirPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.get() < 0) return fail(error, dir);
  const QByteArray final = name.toLocal8Bit();
  QByteArray temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = final + ".tmp" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
    fd = ::openat(dfd.get(), temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(error, name);
  const Fd file(fd);
  qint64 done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::write(file.get(), data.constData() + done, static_cast<size_t>(data.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = errno;
      ::unlinkat(dfd.get(), temp.constData(), 0);
      errno = e;
      return fail(error, name);
    }
    done += n;
  }
  // The rename replaces a link of that name itself, never the file it points to.
  if (::fsync(file.get()) != 0 ||
      ::renameat(dfd.get(), temp.constData(), dfd.get(), final.constData()) != 0) {
    const int e = errno;
    ::unlinkat(dfd.get(), temp.constData(), 0);
    errno = e;
    return fail(error, name);
  }
  return true;
}
