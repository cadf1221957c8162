// Pieces of a store's data files mapped back to back into one read-only
// view: a tail update shares the pieces before its seam with the previous
// generation, and a memory-mapped load still hands out one contiguous matrix.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <module_frame/arrays.hpp>

#include "prepare.hpp"

namespace tolvane::prepare {
namespace {

const char *const map_file_pieces_doc =
    "把几个文件的片段依次只读映射成一段连续的内存。\n"
    "\n"
    "    Args:\n"
    "        pieces: [(路径, 文件内偏移, 字节数)], 依次排在映射中。偏移都是页大小的整数倍,\n"
    "            除最后一段外字节数也是; 每个文件须是普通文件且至少有偏移加字节数那么长。\n"
    "\n"
    "    Returns:\n"
    "        np.ndarray: 只读的 uint8 数组, 长度为各段字节数之和; 数组 (及其视图) 存在期间\n"
    "        映射一直有效, 之后文件被删除或替换也不影响它。\n"
    "\n"
    "    Raises:\n"
    "        ValueError: 偏移或长度不合要求。\n"
    "        OSError: 文件无法打开 (不存在时为 FileNotFoundError)、不是普通文件或太短。\n"
    "    ";

// OSError from errno (FileNotFoundError for a missing file), naming the file.
[[noreturn]] void throw_os_error(const std::string *path) {
    if (path == nullptr) {
        PyErr_SetFromErrno(PyExc_OSError);
    } else {
        nb::object name = nb::steal(PyUnicode_DecodeFSDefaultAndSize(path->data(), Py_ssize_t(path->size())));
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    }
    throw nb::python_error();
}

struct Piece {
    std::string path;
    std::uint64_t offset;
    std::uint64_t length;
};

// The page cache keeps a file's data in pieces of up to a huge page; the
// kernel maps such a piece with one entry only where the address and the file
// offset agree modulo its size.
constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;

// The reserved address range, released on destruction unless handed to the
// array that owns it. Its start agrees with `first_offset` modulo a huge
// page, so that pieces starting at huge-page boundaries of their data map
// with huge-page entries: reading every page of a mapped store is then as
// fast as through a mapping of one file.
class Mapping {
  public:
    Mapping(std::size_t length, std::uint64_t first_offset) : length_(length + kHugePage) {
        void *address = mmap(nullptr, length_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (address == MAP_FAILED)
            throw_os_error(nullptr);
        address_ = static_cast<std::uint8_t *>(address);
        const auto reserved = reinterpret_cast<std::uintptr_t>(address);
        start_ = (static_cast<std::uintptr_t>(first_offset) - reserved) % kHugePage;
    }
    ~Mapping() {
        if (address_ != nullptr)
            munmap(address_, length_);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    std::uint8_t *at(std::size_t position) const { return address_ + start_ + position; }

    // The array that unmaps the range when its last view goes.
    nb::object release_as_array(std::size_t n_bytes) {
        struct Owned {
            void *address;
            std::size_t length;
        };
        auto *owned = new Owned{address_, length_};
        nb::capsule owner(owned, [](void *p) noexcept {
            auto *mapping = static_cast<Owned *>(p);
            munmap(mapping->address, mapping->length);
            delete mapping;
        });
        const std::uint8_t *data = at(0);
        address_ = nullptr;
        const std::size_t shape[1] = {n_bytes};
        return nb::cast(nb::ndarray<nb::numpy, const std::uint8_t, nb::ndim<1>>(data, 1, shape, owner));
    }

  private:
    std::uint8_t *address_ = nullptr;
    std::size_t length_;
    std::size_t start_ = 0;
};

// An open descriptor, closed on every way out. A store's files are never
// symbolic links, and opening a FIFO must not wait for a writer.
class ReadOnlyFile {
  public:
    explicit ReadOnlyFile(const std::string &path)
        : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)) {
        if (fd_ < 0)
            throw_os_error(&path);
    }
    ~ReadOnlyFile() { close(fd_); }
    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;

    int fd() const { return fd_; }

  private:
    int fd_;
};

std::vector<Piece> checked_pieces(nb::handle listed, std::uint64_t page) {
    std::vector<Piece> pieces;
    for (nb::handle item : listed) {
        mf::expect_type(item, &PyTuple_Type);
        nb::tuple fields = nb::borrow<nb::tuple>(item);
        if (fields.size() != 3)
            mf::raise(PyExc_ValueError, "pieces 的每一项应为 (路径, 偏移, 字节数)");
        mf::expect_type(fields[0], &PyUnicode_Type);
        nb::bytes path = nb::steal<nb::bytes>(PyUnicode_EncodeFSDefault(fields[0].ptr()));
        if (!path.is_valid())
            throw nb::python_error();
        const long long offset = nb::cast<long long>(fields[1]);
        const long long length = nb::cast<long long>(fields[2]);
        if (offset < 0 || length <= 0 || static_cast<std::uint64_t>(offset) % page != 0)
            mf::raise(PyExc_ValueError, "片段的偏移须是页大小的非负整数倍, 字节数须为正");
        pieces.push_back({std::string(path.c_str(), path.size()), static_cast<std::uint64_t>(offset),
                          static_cast<std::uint64_t>(length)});
    }
    for (std::size_t k = 0; k + 1 < pieces.size(); ++k) {
        if (pieces[k].length % page != 0)
            mf::raise(PyExc_ValueError, "除最后一段外, 片段的字节数须是页大小的整数倍");
    }
    return pieces;
}

nb::object map_file_pieces(mf::Call &call) {
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::vector<Piece> pieces = checked_pieces(call.arg("pieces"), page);
    std::uint64_t total = 0;
    for (const Piece &piece : pieces) {
        if (piece.length > PTRDIFF_MAX - total)
            mf::raise(PyExc_ValueError, "片段的总字节数太大");
        total += piece.length;
    }
    if (total == 0) {
        std::uint8_t *data = nullptr;
        return mf::new_numpy_vector<std::uint8_t>(0, data);
    }
    Mapping mapping((total + page - 1) / page * page, pieces.front().offset);
    std::uint64_t position = 0;
    for (const Piece &piece : pieces) {
        ReadOnlyFile file(piece.path);
        struct stat facts{};
        if (fstat(file.fd(), &facts) != 0)
            throw_os_error(&piece.path);
        if (!S_ISREG(facts.st_mode))
            mf::raise(PyExc_OSError, "不是普通文件: " + piece.path);
        if (static_cast<std::uint64_t>(facts.st_size) < piece.offset + piece.length)
            mf::raise(PyExc_OSError, "文件比要映射的片段短: " + piece.path);
        if (mmap(mapping.at(position), piece.length, PROT_READ, MAP_SHARED | MAP_FIXED, file.fd(),
                 static_cast<off_t>(piece.offset)) == MAP_FAILED)
            throw_os_error(&piece.path);
        position += piece.length;
    }
    return mapping.release_as_array(total);
}

}  // namespace

const mf::FunctionDef map_file_pieces_def{
    .name = "map_file_pieces",
    .impl = map_file_pieces,
    .params = {{.name = "pieces", .annotation = "list[tuple[str, int, int]]", .convert = mf::Convert::List}},
    .returns = "np.ndarray",
    .doc = map_file_pieces_doc,
};

}  // namespace tolvane::prepare
