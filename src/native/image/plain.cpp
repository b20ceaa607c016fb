// is_plain_gray: seven measurements of a decoded image and a verdict on the
// first one past its threshold. OpenCV does the image operations; the sums
// over their outputs are native passes; the spectrum is never built whole.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>

#include "kernels/spectrum.hpp"
#include "kernels/stats.hpp"
#include "ops.hpp"
#include "source.hpp"

namespace kestrix::image {

namespace {

using kernels::Complex;
using kernels::Moments;
using kernels::Plane;

// Working blocks (HSV, Laplacian and FFT rows) stay about this size, so they
// live in cache and their memory is reused instead of faulted in afresh.
constexpr std::size_t block_bytes = std::size_t{1} << 19;

std::size_t rows_per_block(std::size_t row_bytes) { return std::max<std::size_t>(1, block_bytes / row_bytes); }

// An exported buffer, released (with the GIL held) when it goes out of scope.
class BufferView {
public:
    BufferView(nb::handle obj, bool writable) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO) != 0)
            throw nb::python_error();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;

    const Py_buffer &operator*() const { return view_; }

private:
    Py_buffer view_;
};

bool has_format(const Py_buffer &view, const char *code) {
    const char *format = view.format ? view.format : "B";
    const char native_order = PY_LITTLE_ENDIAN ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == native_order) ++format;
    return std::strcmp(format, code) == 0;
}

// Plane `channel` of an array of shape (rows, cols) or (rows, cols, channels),
// after checking that it is what the step must have produced.
template <class T>
Plane<T> plane_of(const BufferView &buffer, const char *what, const char *code, std::size_t rows, std::size_t cols,
                  int channels = 0, int channel = 0, bool wider = false) {
    const Py_buffer &v = *buffer;
    const int ndim = channels ? 3 : 2;
    const auto want_rows = static_cast<Py_ssize_t>(rows), want_cols = static_cast<Py_ssize_t>(cols);
    const bool ok = v.ndim == ndim && v.itemsize == static_cast<Py_ssize_t>(sizeof(T)) && has_format(v, code) &&
                    v.shape[0] == want_rows && (wider ? v.shape[1] >= want_cols : v.shape[1] == want_cols) &&
                    (!channels || v.shape[2] == channels);
    if (!ok) {
        nb::str message = nb::str("{} is not the expected {}-D array of format '{}' with {}x{} values")
                              .format(what, ndim, code, rows, cols);
        callable::raise(PyExc_ValueError, message);
    }
    auto *data = static_cast<char *>(v.buf) + channel * (channels ? v.strides[2] : 0);
    return {reinterpret_cast<T *>(data), rows, cols, v.strides[0], v.strides[1]};
}

Moments moments_of(const Plane<const std::uint8_t> &plane) {
    Moments m;
    nb::gil_scoped_release release;
    kernels::add_moments(m, plane);
    return m;
}

double nonzero_ratio(nb::handle edges, const char *what, std::size_t h, std::size_t w) {
    BufferView view(edges, false);
    const auto plane = plane_of<const std::uint8_t>(view, what, "B", h, w);
    std::uint64_t count;
    {
        nb::gil_scoped_release release;
        count = kernels::count_nonzero(plane);
    }
    return static_cast<double>(count) / static_cast<double>(h * w);
}

nb::object rows(nb::handle array, std::size_t from, std::size_t to) { return array[nb::slice(from, to)]; }

// Mean of HSV's S channel. The conversion is per pixel, so converting row
// blocks into one small buffer gives the values of a whole-image conversion.
double saturation_mean(nb::handle cv2, nb::handle np, nb::handle img, std::size_t h, std::size_t w) {
    const std::size_t block = std::min(h, rows_per_block(3 * w));
    nb::object buffer = np.attr("empty")(nb::make_tuple(block, w, 3), nb::arg("dtype") = np.attr("uint8"));
    nb::object cvt = cv2.attr("cvtColor"), code = cv2.attr("COLOR_BGR2HSV");
    Moments m;
    for (std::size_t y0 = 0; y0 < h; y0 += block) {
        const std::size_t n = std::min(block, h - y0);
        nb::object hsv = cvt(rows(img, y0, y0 + n), code, nb::arg("dst") = rows(buffer, 0, n));
        BufferView view(hsv, false);
        const auto s = plane_of<const std::uint8_t>(view, "cv2.cvtColor(..., COLOR_BGR2HSV)", "B", n, w, 3, 1);
        nb::gil_scoped_release release;
        kernels::add_moments(m, s);
    }
    return kernels::mean(m);
}

// Standard deviation of the Laplacian (3x3 aperture). Its values are integers
// in [-1020, 1020], so 16-bit output holds exactly what 64-bit float output
// would. Each row block is filtered with one real neighbour row on either side
// and only its inner rows are counted, so block edges see the true image.
double laplacian_std(nb::handle cv2, nb::handle np, nb::handle gray, std::size_t h, std::size_t w) {
    const std::size_t block = std::min(h, rows_per_block(2 * w));
    nb::object buffer =
        np.attr("empty")(nb::make_tuple(std::min(h, block + 2), w), nb::arg("dtype") = np.attr("int16"));
    nb::object laplacian = cv2.attr("Laplacian"), depth = cv2.attr("CV_16S");
    Moments m;
    for (std::size_t y0 = 0; y0 < h; y0 += block) {
        const std::size_t y1 = std::min(h, y0 + block);
        const std::size_t top = y0 ? y0 - 1 : 0, bottom = std::min(h, y1 + 1);
        nb::object out = laplacian(rows(gray, top, bottom), depth, nb::arg("dst") = rows(buffer, 0, bottom - top));
        BufferView view(out, false);
        auto plane = plane_of<const std::int16_t>(view, "cv2.Laplacian", "h", bottom - top, w);
        plane.data = plane.row(y0 - top);
        plane.rows = y1 - y0;
        nb::gil_scoped_release release;
        kernels::add_moments(m, plane);
    }
    return kernels::population_std(m);
}

// Energy of the spectrum's low band of half-width r: real FFTs of row blocks,
// keeping column frequencies 0..r, then FFTs along those r+1 columns.
double low_band_energy(nb::handle np, nb::handle gray, std::size_t h, std::size_t w, std::size_t r) {
    if (r == 0) return 0.0;
    const std::size_t bands = r + 1;
    const std::size_t block = std::min(h, rows_per_block(8 * w));
    nb::object fft = np.attr("fft");
    nb::object rfft = fft.attr("rfft");
    nb::object input = np.attr("empty")(nb::make_tuple(block, w), nb::arg("dtype") = np.attr("float64"));
    nb::object columns = np.attr("empty")(nb::make_tuple(bands, h), nb::arg("dtype") = np.attr("complex128"));
    BufferView gray_view(gray, false), input_view(input, true), columns_view(columns, true);
    const auto pixels = plane_of<const std::uint8_t>(gray_view, "the grayscale image", "B", h, w);
    const auto packed = plane_of<double>(input_view, "the FFT input buffer", "d", block, w);
    const auto gathered = plane_of<Complex>(columns_view, "the low-band buffer", "Zd", bands, h);
    if (!PyBuffer_IsContiguous(&*input_view, 'C')) callable::raise(PyExc_ValueError, "FFT input buffer not contiguous");
    for (std::size_t y0 = 0; y0 < h; y0 += block) {
        const std::size_t n = std::min(block, h - y0);
        Plane<const std::uint8_t> source = pixels;
        source.data = pixels.row(y0);
        source.rows = n;
        {
            nb::gil_scoped_release release;
            kernels::widen_rows(source, packed.data);
        }
        nb::object spectra = rfft(rows(input, 0, n));
        BufferView view(spectra, false);
        const auto plane = plane_of<const Complex>(view, "numpy.fft.rfft", "Zd", n, bands, 0, 0, true);
        nb::gil_scoped_release release;
        kernels::gather_low_columns(plane, bands, gathered, y0);
    }
    nb::object column_spectra = fft.attr("fft")(columns);
    BufferView view(column_spectra, false);
    const auto plane = plane_of<const Complex>(view, "numpy.fft.fft", "Zd", bands, h);
    nb::gil_scoped_release release;
    return kernels::low_band_energy(plane, r);
}

struct Measurements {
    double std, edge_ratio, saturation, local_contrast, high_freq_ratio, enhanced_edge_ratio, enhanced_std;
};

// The decoded image is dropped once gray and saturation are measured; from
// then on two image-sized arrays are alive (gray, and the edges or the
// enhanced image), besides what OpenCV allocates inside a call.
Measurements measure(const Call &call, nb::object img) {
    nb::object np = call.global("np"), cv2 = call.global("cv2");
    // Converted before the shape check, so that an array OpenCV cannot
    // convert fails with OpenCV's own text, as the caller would see it.
    nb::object gray = cv2.attr("cvtColor")(img, cv2.attr("COLOR_BGR2GRAY"));
    std::size_t h, w;
    {
        BufferView view(img, false);
        const Py_buffer &v = *view;
        if (v.ndim != 3 || v.shape[2] != 3 || v.itemsize != 1 || !has_format(v, "B") || v.shape[0] < 1 ||
            v.shape[1] < 1)
            callable::raise(PyExc_ValueError, "cv2.imdecode did not return an 8-bit 3-channel image");
        h = static_cast<std::size_t>(v.shape[0]);
        w = static_cast<std::size_t>(v.shape[1]);
    }
    Measurements m;

    Moments gray_moments;
    {
        BufferView view(gray, false);
        gray_moments = moments_of(plane_of<const std::uint8_t>(view, "cv2.cvtColor(..., COLOR_BGR2GRAY)", "B", h, w));
    }
    m.std = kernels::population_std(gray_moments);

    m.saturation = saturation_mean(cv2, np, img, h, w);
    img.reset();

    nb::object canny = cv2.attr("Canny");
    nb::object edges = canny(gray, 10, 50);
    m.edge_ratio = nonzero_ratio(edges, "cv2.Canny", h, w);

    m.local_contrast = laplacian_std(cv2, np, gray, h, w);

    const double total = kernels::spectral_total(gray_moments.count, gray_moments.sum_sq);
    const double low = low_band_energy(np, gray, h, w, std::min(h, w) / 20);
    m.high_freq_ratio = kernels::high_freq_ratio(total, low);

    // The first edge map and then the gray image are done with, so their
    // buffers take the enhanced image and its edges: no fresh image-sized
    // memory for the last two steps.
    nb::object clahe =
        cv2.attr("createCLAHE")(nb::arg("clipLimit") = 4.0, nb::arg("tileGridSize") = nb::make_tuple(8, 8));
    nb::object enhanced = clahe.attr("apply")(gray, nb::arg("dst") = edges);
    edges = canny(enhanced, 10, 50, nb::arg("edges") = gray);
    gray.reset();
    m.enhanced_edge_ratio = nonzero_ratio(edges, "cv2.Canny", h, w);
    {
        BufferView view(enhanced, false);
        m.enhanced_std =
            kernels::population_std(moments_of(plane_of<const std::uint8_t>(view, "CLAHE.apply", "B", h, w)));
    }
    return m;
}

struct Test {
    const char *key;
    int digits;          // of the value in the metrics dict
    const char *format;  // of the value in the message
    const char *prefix, *suffix;
};

// Dict order is test order.
constexpr Test tests[] = {
    {"std", 1, ".1f", "标准差=", "，有明显明暗变化"},
    {"edge_ratio", 4, ".4f", "边缘密度=", "，有图案或纹理"},
    {"saturation", 2, ".1f", "饱和度=", "，有明显色彩"},
    {"local_contrast", 2, ".2f", "局部对比度=", "，有微弱纹理"},
    {"high_freq_ratio", 6, ".6f", "高频能量占比=", "，有图案"},
    {"enhanced_edge_ratio", 4, ".4f", "CLAHE增强边缘密度=", "，有隐藏图案"},
    {"enhanced_std", 1, ".1f", "CLAHE增强标准差=", "，有隐藏纹理"},
};

nb::object verdict(const Call &call, const Measurements &m) {
    const double values[] = {
        m.std, m.edge_ratio, m.saturation, m.local_contrast, m.high_freq_ratio, m.enhanced_edge_ratio, m.enhanced_std};
    const double thresholds[] = {
        PyFloat_AsDouble(call.arg(1).ptr()), PyFloat_AsDouble(call.arg(2).ptr()), 20, 3, 0.001, 0.05, 60};

    nb::object round = call.global("round");
    nb::dict metrics;
    for (std::size_t i = 0; i < std::size(tests); ++i)
        metrics[tests[i].key] = round(nb::float_(values[i]), tests[i].digits);

    for (std::size_t i = 0; i < std::size(tests); ++i) {
        if (!(values[i] > thresholds[i])) continue;
        nb::object number =
            callable::checked(PyObject_Format(nb::float_(values[i]).ptr(), nb::str(tests[i].format).ptr()));
        return nb::make_tuple(false, metrics, nb::str(tests[i].prefix) + number + nb::str(tests[i].suffix));
    }
    return nb::make_tuple(true, metrics, "纯色图");
}

nb::dict fallback_metrics() {
    nb::dict metrics;
    metrics["std"] = 0;
    metrics["edge_ratio"] = 100;
    metrics["saturation"] = 0;
    return metrics;
}

nb::object judge(const Call &call) {
    nb::object data = resolve_bytes(call, call.arg(0));
    nb::object np = call.global("np");
    nb::object img_array = np.attr("frombuffer")(data, nb::arg("dtype") = np.attr("uint8"));
    nb::object cv2 = call.global("cv2");
    nb::object img = cv2.attr("imdecode")(img_array, cv2.attr("IMREAD_COLOR"));
    if (img.is_none()) return nb::make_tuple(false, fallback_metrics(), "图片为空");
    return verdict(call, measure(call, std::move(img)));
}

// judge() with C++ failures turned into the Python exceptions they stand for,
// so the caller's handler sees every failure the same way.
nb::object judge_raising_python(const Call &call) {
    try {
        return judge(call);
    } catch (nb::python_error &) {
        throw;
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    throw nb::python_error();
}

nb::object is_plain_gray(Call &call) {
    nb::dict kwargs = call.kwargs();
    nb::object logger = kwargs.contains("logger") ? nb::object(kwargs["logger"]) : nb::none();
    try {
        return judge_raising_python(call);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        callable::Handling handling(e.value());
        nb::str text = nb::str(e.value());
        if (callable::truth(logger)) logger.attr("error")(nb::str("图片检测错误: ") + text);
        return nb::make_tuple(false, fallback_metrics(), text);
    }
}

const char *const is_plain_gray_doc =
    "检测图片是否为纯色图（无图案、无纹理、无明显色彩）。\n"
    "\n"
    "Args:\n"
    "    image_data: 图片的二进制数据、本地文件路径或 http/https URL（URL 会先下载）。\n"
    "    gray_thresh: 灰度标准差阈值，超过即认为有明显明暗变化，默认 30.0。\n"
    "    edge_thresh: Canny 边缘密度阈值，超过即认为有图案或纹理，默认 0.01。\n"
    "    **kwargs: 只读取 logger（需有 error 方法），检测出错时记录 \"图片检测错误: \" 加错误信息；其余参数忽略。\n"
    "\n"
    "Returns:\n"
    "    (is_gray, metrics, message)：是否为纯色图；各项指标 std、edge_ratio、saturation、\n"
    "    local_contrast、high_freq_ratio、enhanced_edge_ratio、enhanced_std（已四舍五入）；\n"
    "    判定原因（\"纯色图\" 或第一个超出阈值的指标说明）。图片无法解码时返回\n"
    "    (False, {\"std\": 0, \"edge_ratio\": 100, \"saturation\": 0}, \"图片为空\")。\n"
    "\n"
    "Raises:\n"
    "    TypeError: gray_thresh 或 edge_thresh 不是实数。其余任何错误（文件不存在、下载失败等）\n"
    "    都不会抛出，而是返回 (False, {\"std\": 0, \"edge_ratio\": 100, \"saturation\": 0}, 错误信息)。\n";

}  // namespace

const Definition &is_plain_gray_definition() {
    static const Definition definition{
        "is_plain_gray",
        "ImageTool.is_plain_gray",
        {
            {"image_data", Rule::Any, "Union[bytes, str]"},
            {"gray_thresh", Rule::Float, "float", Default::real(30.0)},
            {"edge_thresh", Rule::Float, "float", Default::real(0.01)},
        },
        "kwargs",
        nullptr,
        "Tuple[bool, Dict[str, Any], str]",
        is_plain_gray_doc,
        is_plain_gray,
    };
    return definition;
}

}  // namespace kestrix::image
