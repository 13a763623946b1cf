// pretrain.analyzing_tools: ClsAnalyzingTool, which scans a dataset stored as
// one sub-directory per class, and the demonstration coroutine `main`.
//
//    1  import random
//    2  from collections import Counter
//    3  from glob import glob
//    4  from pathlib import Path
//    5
//    6  from PIL import Image
//    7
//    8  img_ext = ['.jpg', '.jpeg', '.png', '.bmp', '.gif', '.tiff']
//    9
//   10
//   11  class ClsAnalyzingTool:
//   12      def __init__(self, dataset_path):
//   13          self.dataset_path = dataset_path
//   14          self.path_list = []
//   15          self.classes = []
//   16          self.category_image_map = {}
//   17          self.category_distribution = {}
//   18          self.image_format_distribution = {}
//   19          self.image_size_distribution = {}
//   20
//   21      async def get_path_list(self):
//   22          path_list = [Path(p) for p in glob(str(Path(self.dataset_path, '**/*')), recursive=True)]
//   23          self.path_list = [p for p in path_list if p.suffix in img_ext]
//   24          return self.path_list
//   25
//   26      async def get_data_list(self, callback=None):
//   27          if callback is not None:
//   28              await callback(1.0)
//   29
//   30      async def get_category_distribution(self, callback=None):
//   31          if len(self.path_list) == 0:
//   32              await self.get_path_list()
//   33          category_image_map = {}
//   34          for i, path in enumerate(self.path_list):
//   35              class_name = path.relative_to(self.dataset_path).parts[0]
//   36              if class_name not in category_image_map:
//   37                  category_image_map[class_name] = []
//   38              category_image_map[class_name].append(path)
//   39              if callback is not None:
//   40                  await callback(i / len(self.path_list))
//   41          counter = {k: len(v) for k, v in category_image_map.items()}
//   42          self.category_distribution = counter
//   43          self.classes = sorted(list(counter.keys()))
//   44          self.category_image_map = category_image_map
//   45          return self.category_distribution
//   46
//   47      async def get_image_format_distribution(self):
//   48          if len(self.path_list) == 0:
//   49              await self.get_path_list()
//   50          formats = [path.suffix for path in self.path_list]
//   51          self.image_format_distribution = Counter(formats)
//   52          return self.image_format_distribution
//   53
//   54      async def get_image_size_distribution(self, callback=None):
//   55          if len(self.path_list) == 0:
//   56              await self.get_path_list()
//   57          sizes = []
//   58          for i, path in enumerate(self.path_list):
//   59              with Image.open(path) as img:
//   60                  sizes.append(str(img.size))
//   61              if callback is not None:
//   62                  await callback(i / len(self.path_list))
//   63          self.image_size_distribution = Counter(sizes)
//   64          return self.image_size_distribution
//   65
//   66      async def get_random_images(self, n=6, category_balance=True):
//   67          random_images = []
//   68          if category_balance:
//   69              if len(self.category_image_map) == 0:
//   70                  await self.get_category_distribution()
//   71              for _ in range(n):
//   72                  class_name = random.choice(self.classes)
//   73                  random_images.append(random.choice(self.category_image_map[class_name]))
//   74          else:
//   75              if len(self.path_list) == 0:
//   76                  await self.get_path_list()
//   77              random_images = random.sample(self.path_list, n)
//   78          return random_images
//   79
//   80
//   81  async def main():
//   82      from pprint import pprint
//   83      tool = ClsAnalyzingTool(DATASET)  # DIR of `python -m ... [DIR]`, else the sample: sample_data.h
//   84      await tool.get_path_list()
//   85      pprint(await tool.get_category_distribution())
//   86      pprint(await tool.get_random_images())
//   87      pprint(await tool.get_image_size_distribution())
//   88
//   89
//   90  if __name__ == '__main__':
//   91      import asyncio
//   92      asyncio.run(main())
//
// The scans stay native where the objects they go through are the standard
// library's own: the directory walk of glob (tree_walk.h) and pathlib's
// per-file operations (posix_paths.h). Module attributes and the tool's
// attributes are read where and as often as the code above reads them, so
// monkeypatched ones give the result the code above gives.
#include "class_builder.h"
#include "context_manager.h"
#include "coroutine.h"
#include "error.h"
#include "iteration.h"
#include "modules.h"
#include "names.h"
#include "operators.h"
#include "posix_paths.h"
#include "sample_data.h"
#include "signal_checks.h"
#include "size_scan.h"
#include "tree_walk.h"
#include "walked_images.h"

using namespace kaplet;

namespace pretrain {

namespace {

Ref empty_list() { return list({}); }

Ref init(Args& a) {
    const Ref& self = a.ref(0);
    a.line(13);
    self.set_attr("dataset_path"_py, a[1]);
    a.line(14);
    self.set_attr("path_list"_py, empty_list());
    a.line(15);
    self.set_attr("classes"_py, empty_list());
    a.line(16);
    self.set_attr("category_image_map"_py, new_dict());
    a.line(17);
    self.set_attr("category_distribution"_py, new_dict());
    a.line(18);
    self.set_attr("image_format_distribution"_py, new_dict());
    a.line(19);
    self.set_attr("image_size_distribution"_py, new_dict());
    return none();
}

void append(const Ref& list, const Ref& item) { check(PyList_Append(list.get(), item.get())); }

// `len(self.<name>) == 0`, the rescan rule.
bool is_empty(const Ref& self, PyObject* name) { return length(self.attr(name).get()) == 0; }

// `i / len(self.path_list)`: the progress sent to the callback.
Ref progress(Py_ssize_t i, const Ref& self) {
    Ref position = Ref::steal(PyLong_FromSsize_t(i));
    Ref total = Ref::steal(PyLong_FromSsize_t(length(self.attr("path_list"_py).get())));
    return divide(position.get(), total.get());
}

// `[Path(p) for p in found]`, reading Path for every item.
Ref wrap_all(Args& a, PyObject* found) {
    Ref wrapped = empty_list();
    PosixPaths paths(Py_None);
    SignalChecks signals;
    for (const Ref& text : iterate(found)) {
        signals.step();
        paths.use_path_class(a.global<"Path">().get());
        append(wrapped, paths.make(text.get()));
    }
    return wrapped;
}

// `[p for p in path_list if p.suffix in img_ext]`, reading img_ext for every item.
Ref keep_images(Args& a, PyObject* path_list) {
    PosixPaths paths(Py_None);
    Ref kept = empty_list();
    SignalChecks signals;
    for (const Ref& path : iterate(path_list)) {
        signals.step();
        Ref suffix = paths.suffix(path.get());
        if (contains(a.global<"img_ext">().get(), suffix.get())) append(kept, path);
    }
    return kept;
}

// The two comprehensions over a natively walked tree.
Ref keep_walked_images(Args& a, TreeWalk& walk) {
    if (Ref kept = walked_images(walk, a.global<"Path">().get(), [&a] { return a.global<"img_ext">(); })) return kept;
    Ref found = walk.texts();
    a.line(22);
    Ref wrapped = wrap_all(a, found.get());
    a.line(23);
    return keep_images(a, wrapped.get());
}

Coro get_path_list(Args a) {
    const Ref& self = a.ref(0);
    a.line(22);
    Ref pattern = Ref::steal(PyObject_Str(a.global<"Path">()(self.attr("dataset_path"_py), "**/*"_py).get()));
    Ref glob = a.global<"glob">();
    Ref kept;
    if (std::unique_ptr<TreeWalk> walk = TreeWalk::of_pattern(glob.get(), pattern.get())) {
        kept = keep_walked_images(a, *walk);
    } else {
        Ref found = call_kw(glob.get(), {pattern.get()}, {{"recursive", Py_True}});
        Ref wrapped = wrap_all(a, found.get());
        a.line(23);
        kept = keep_images(a, wrapped.get());
    }
    a.line(23);
    self.set_attr("path_list"_py, kept);
    a.line(24);
    co_return self.attr("path_list"_py);
}

Coro get_data_list(Args a) {
    const Ref& callback = a.ref(1);
    a.line(27);
    if (callback.get() != Py_None) {
        a.line(28);
        co_await await_(callback(floating(1.0)));
    }
    co_return none();
}

Coro get_category_distribution(Args a) {
    const Ref& self = a.ref(0);
    const Ref& callback = a.ref(1);
    a.line(31);
    if (is_empty(self, "path_list"_py)) {
        a.line(32);
        co_await await_(self.call_method("get_path_list"_py));
    }
    a.line(33);
    FrameRef category_image_map = new_dict();
    PosixPaths paths(Py_None);
    Py_ssize_t i = 0;
    SignalChecks signals;
    a.line(34);
    for (const Ref& path : iterate(self.attr("path_list"_py))) {
        signals.step();
        a.line(35);
        Ref class_name = paths.first_part_under(path.get(), self.attr("dataset_path"_py).get());
        a.line(36);
        if (!contains(category_image_map.get(), class_name.get())) {
            a.line(37);
            category_image_map.set_item(class_name.get(), empty_list());
        }
        a.line(38);
        append(category_image_map.item(class_name.get()), path);
        a.line(39);
        if (callback.get() != Py_None) {
            a.line(40);
            co_await await_(callback(progress(i, self)));
        }
        ++i;
        a.line(34);
    }
    a.line(41);
    Ref counter = new_dict();
    for (const Ref& item : iterate(category_image_map.call_method("items"_py))) {
        auto [name, members] = unpack<2>(item.get());
        counter.set_item(name.get(), Ref::steal(PyLong_FromSsize_t(length(members.get()))));
    }
    a.line(42);
    self.set_attr("category_distribution"_py, counter);
    a.line(43);
    Ref classes = Ref::steal(PySequence_List(Ref::steal(PyDict_Keys(counter.get())).get()));
    check(PyList_Sort(classes.get()));
    self.set_attr("classes"_py, classes);
    a.line(44);
    self.set_attr("category_image_map"_py, category_image_map);
    a.line(45);
    co_return self.attr("category_distribution"_py);
}

Coro get_image_format_distribution(Args a) {
    const Ref& self = a.ref(0);
    a.line(48);
    if (is_empty(self, "path_list"_py)) {
        a.line(49);
        co_await await_(self.call_method("get_path_list"_py));
    }
    a.line(50);
    PosixPaths paths(Py_None);
    Ref formats = empty_list();
    SignalChecks signals;
    for (const Ref& path : iterate(self.attr("path_list"_py))) {
        signals.step();
        append(formats, paths.suffix(path.get()));
    }
    a.line(51);
    self.set_attr("image_format_distribution"_py, a.global<"Counter">()(formats));
    a.line(52);
    co_return self.attr("image_format_distribution"_py);
}

// `with <image> as img: sizes.append(str(img.size))`
void append_size(Args& a, const Ref& image, const Ref& sizes) {
    with_statement(image.get(), [&](const Ref& img) {
        a.line(60);
        append(sizes, Ref::steal(PyObject_Str(img.attr("size"_py).get())));
    });
}

Coro get_image_size_distribution(Args a) {
    const Ref& self = a.ref(0);
    const Ref& callback = a.ref(1);
    a.line(55);
    if (is_empty(self, "path_list"_py)) {
        a.line(56);
        co_await await_(self.call_method("get_path_list"_py));
    }
    a.line(57);
    FrameRef sizes = empty_list();
    a.line(58);
    FrameRef path_list = self.attr("path_list"_py);
    if (PyList_CheckExact(path_list.get())) {
        // The list's own iterator, step by step: each file's size from its
        // header where it can be read natively, else from Image.open.
        SizeScan images(a.global<"Image">().get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(path_list.get()); ++i) {
            FrameRef path = Ref::borrow(PyList_GET_ITEM(path_list.get(), i));
            a.line(59);
            if (Ref text = images.size_text(a.global<"Image">().get(), path_list.get(), i)) {
                append(sizes, text);
            } else {
                append_size(a, images.open(a.global<"Image">().get(), path.get()), sizes);
            }
            a.line(61);
            if (callback.get() != Py_None) {
                a.line(62);
                co_await await_(callback(progress(i, self)));
            }
            a.line(58);
        }
    } else {
        Py_ssize_t i = 0;
        for (const Ref& path : iterate(path_list)) {
            a.line(59);
            append_size(a, Method(a.global<"Image">().get(), "open"_py)(path), sizes);
            a.line(61);
            if (callback.get() != Py_None) {
                a.line(62);
                co_await await_(callback(progress(i, self)));
            }
            ++i;
            a.line(58);
        }
    }
    a.line(63);
    self.set_attr("image_size_distribution"_py, a.global<"Counter">()(sizes));
    a.line(64);
    co_return self.attr("image_size_distribution"_py);
}

Coro get_random_images(Args a) {
    const Ref& self = a.ref(0);
    a.line(67);
    FrameRef random_images = empty_list();
    a.line(68);
    if (a.ref(2).truthy()) {
        a.line(69);
        if (is_empty(self, "category_image_map"_py)) {
            a.line(70);
            co_await await_(self.call_method("get_category_distribution"_py));
        }
        a.line(71);
        for (const Ref& unused : iterate(a.global<"range">()(a[1]))) {
            (void)unused;
            a.line(72);
            Method choose_class(a.global<"random">().get(), "choice"_py);
            Ref class_name = choose_class(self.attr("classes"_py));
            a.line(73);
            Method choose_file(a.global<"random">().get(), "choice"_py);
            append(random_images, choose_file(self.attr("category_image_map"_py).item(class_name.get())));
            a.line(71);
        }
    } else {
        a.line(75);
        if (is_empty(self, "path_list"_py)) {
            a.line(76);
            co_await await_(self.call_method("get_path_list"_py));
        }
        a.line(77);
        Method sample(a.global<"random">().get(), "sample"_py);
        random_images = sample(self.attr("path_list"_py), a[1]);
    }
    a.line(78);
    co_return random_images;
}

Coro main(Args a) {
    a.line(82);
    FrameRef pprint = a.import("pprint").attr("pprint"_py);
    a.line(83);
    Ref dataset = command_line_dataset_directory(a.global<"__name__">(), "python -m pretrain.analyzing_tools [DIR]");
    FrameRef tool = a.global<"ClsAnalyzingTool">()(dataset);
    a.line(84);
    co_await await_(tool.call_method("get_path_list"_py));
    a.line(85);
    Ref categories = co_await await_(tool.call_method("get_category_distribution"_py));
    pprint(categories);
    a.line(86);
    Ref samples = co_await await_(tool.call_method("get_random_images"_py));
    pprint(samples);
    a.line(87);
    Ref sizes = co_await await_(tool.call_method("get_image_size_distribution"_py));
    pprint(sizes);
    co_return none();
}

constexpr Param kInitParams[] = {{"self"}, {"dataset_path"}};
constexpr FunctionDef kInit{"__init__", kInitParams, init};
constexpr Param kSelf[] = {{"self"}};
constexpr Param kCallback[] = {{"self"}, {"callback"}};
constexpr Param kRandomParams[] = {{"self"}, {"n"}, {"category_balance"}};
constexpr FunctionDef kGetPathList{"get_path_list", kSelf, get_path_list};
constexpr FunctionDef kGetDataList{"get_data_list", kCallback, get_data_list};
constexpr FunctionDef kGetCategoryDistribution{"get_category_distribution", kCallback, get_category_distribution};
constexpr FunctionDef kGetImageFormatDistribution{"get_image_format_distribution", kSelf,
                                                  get_image_format_distribution};
constexpr FunctionDef kGetImageSizeDistribution{"get_image_size_distribution", kCallback,
                                                get_image_size_distribution};
constexpr FunctionDef kGetRandomImages{"get_random_images", kRandomParams, get_random_images};
constexpr FunctionDef kMain{"main", main};

}  // namespace

void analyzing_tools_body(Module& m) {
    m.line(1);
    m.import("random");
    m.line(2);
    m.import_from("collections", {{"Counter", nullptr}});
    m.line(3);
    m.import_from("glob", {{"glob", nullptr}});
    m.line(4);
    m.import_from("pathlib", {{"Path", nullptr}});
    m.line(6);
    m.import_from("PIL", {{"Image", nullptr}});
    m.line(8);
    m.bind("img_ext", list({str(".jpg").get(), str(".jpeg").get(), str(".png").get(), str(".bmp").get(),
                            str(".gif").get(), str(".tiff").get()}));
    m.line(11);
    plain_class(m, "ClsAnalyzingTool", [](ClassBody& cls) {
        Ref no_callback = tuple({Py_None});
        cls.def(kInit);
        cls.def(kGetPathList);
        cls.def(kGetDataList, {.defaults = no_callback});
        cls.def(kGetCategoryDistribution, {.defaults = no_callback});
        cls.def(kGetImageFormatDistribution);
        cls.def(kGetImageSizeDistribution, {.defaults = no_callback});
        cls.def(kGetRandomImages, {.defaults = tuple({integer(6).get(), Py_True})});
    });
    m.line(81);
    m.def(kMain);
    m.line(90);
    if (equal(m.name().get(), str("__main__").get())) {
        m.line(91);
        m.import("asyncio");
        m.line(92);
        m.lookup("asyncio").attr("run")(m.lookup("main")());
    }
}

}  // namespace pretrain
