// Turning `image_data` (bytes, a path, an http/https URL or a BytesIO) into
// something a decoder can take. The operations differ in which kinds they
// accept and how, so each composes these pieces itself.
#pragma once

#include "ops.hpp"

namespace kestrix::image {

// Runs body(value) as the block of `with manager as value:`. __exit__ runs on
// every way out and sees the error in flight (it may swallow it); an error it
// raises itself carries that one as __context__, as in Python.
template <class Body>
void with_block(nb::handle manager, Body &&body) {
    nb::object enter = manager.attr("__enter__");
    nb::object exit = manager.attr("__exit__");
    nb::object value = enter();
    try {
        body(nb::handle(value));
    } catch (nb::python_error &e) {
        bool swallowed;
        {
            callable::Handling handling(e.value());
            nb::object traceback = e.traceback();
            if (!traceback.is_valid()) traceback = nb::none();
            swallowed = callable::truth(exit(e.type(), e.value(), traceback));
        }
        if (swallowed) return;
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
}

// A str (subclasses too) whose startswith(("http://", "https://")) is true.
bool is_url(nb::handle value);

// ImageTool.get_img_url_io(url), looked up now, with the URL alone.
nb::object download(const Call &call, nb::handle url);

// FileNotFoundError "图片文件不存在: <path>" unless `path` is a regular file.
void require_file(const Call &call, nb::handle path);

// The whole content of an existing file, read through the built-in open().
nb::object read_file(const Call &call, nb::handle path);

// URL: the downloaded bytes; other str: the file's bytes; anything else as
// given. Used by the operations that decode from bytes.
nb::object resolve_bytes(const Call &call, nb::handle image_data);

// Image.open of the URL's stream, the path, the caller's BytesIO in place,
// or a new BytesIO over anything else.
nb::object open_image(const Call &call, nb::handle image_data);

}  // namespace kestrix::image
