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
// Per-file work stays native: pathlib's per-file operations go through
// path_parts.h. The module's img_ext and Image are read for every file, as
// the loops above read them; get_random_images takes random.choice,
// self.classes and self.category_image_map once per call, since no draw can
// rebind them, and still makes every random.choice call of the loop.
#include "class_builder.h"
#include "context_manager.h"
#include "coroutine.h"
#include "error.h"
#include "iteration.h"
#include "modules.h"
#include "operators.h"
#include "path_parts.h"
#include "sample_data.h"

using namespace kaplet;

namespace pretrain {

namespace {

Ref empty_list() { return list({}); }

Ref init(Args& a) {
    const Ref& self = a.ref(0);
    a.line(13);
    self.set_attr("dataset_path", a[1]);
    a.line(14);
    self.set_attr("path_list", empty_list().get());
    a.line(15);
    self.set_attr("classes", empty_list().get());
    a.line(16);
    self.set_attr("category_image_map", new_dict().get());
    a.line(17);
    self.set_attr("category_distribution", new_dict().get());
    a.line(18);
    self.set_attr("image_format_distribution", new_dict().get());
    a.line(19);
    self.set_attr("image_size_distribution", new_dict().get());
    return none();
}

void append(const Ref& list, const Ref& item) { check(PyList_Append(list.get(), item.get())); }

// `if len(self.<name>) == 0: await self.get_<...>()`, the rescan rule.
bool is_empty(const Ref& self, const char* name) { return length(self.attr(name).get()) == 0; }

// `i / len(self.path_list)`: the progress sent to the callback.
Ref progress(Py_ssize_t i, const Ref& self) {
    Ref position = Ref::steal(PyLong_FromSsize_t(i));
    Ref total = Ref::steal(PyLong_FromSsize_t(length(self.attr("path_list").get())));
    return divide(position.get(), total.get());
}

Coro get_path_list(Args a) {
    const Ref& self = a.ref(0);
    a.line(22);
    Ref path_class = a.global("Path");
    Ref pattern = Ref::steal(PyObject_Str(path_class(self.attr("dataset_path"), str("**/*")).get()));
    Ref found = call_kw(a.global("glob").get(), {pattern.get()}, {{"recursive", Py_True}});
    PathParts paths;
    Ref kept = empty_list();
    for (const Ref& text : iterate(found)) {
        a.line(22);
        Ref path = paths.make(path_class.get(), text.get());
        a.line(23);
        if (contains(a.global("img_ext").get(), paths.suffix(path.get()).get())) append(kept, path);
    }
    a.line(23);
    self.set_attr("path_list", kept.get());
    a.line(24);
    co_return self.attr("path_list");
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
    if (is_empty(self, "path_list")) {
        a.line(32);
        co_await await_(self.attr("get_path_list")());
    }
    a.line(33);
    Ref category_image_map = new_dict();
    PathParts paths;
    Py_ssize_t i = 0;
    a.line(34);
    for (const Ref& path : iterate(self.attr("path_list"))) {
        a.line(35);
        Ref class_name = paths.first_part_under(path.get(), self.attr("dataset_path").get());
        a.line(36);
        Ref files = Ref::borrow_or_null(PyDict_GetItemWithError(category_image_map.get(), class_name.get()));
        if (!files) {
            if (PyErr_Occurred()) throw_python_error();
            files = empty_list();
            category_image_map.set_item(class_name.get(), files.get());
        }
        a.line(38);
        append(files, path);
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
    PyObject *name, *members;
    for (Py_ssize_t pos = 0; PyDict_Next(category_image_map.get(), &pos, &name, &members);) {
        counter.set_item(name, Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(members))).get());
    }
    a.line(42);
    self.set_attr("category_distribution", counter.get());
    a.line(43);
    Ref classes = Ref::steal(PySequence_List(Ref::steal(PyDict_Keys(counter.get())).get()));
    check(PyList_Sort(classes.get()));
    self.set_attr("classes", classes.get());
    a.line(44);
    self.set_attr("category_image_map", category_image_map.get());
    a.line(45);
    co_return self.attr("category_distribution");
}

Coro get_image_format_distribution(Args a) {
    const Ref& self = a.ref(0);
    a.line(48);
    if (is_empty(self, "path_list")) {
        a.line(49);
        co_await await_(self.attr("get_path_list")());
    }
    a.line(50);
    PathParts paths;
    Ref formats = empty_list();
    for (const Ref& path : iterate(self.attr("path_list"))) append(formats, paths.suffix(path.get()));
    a.line(51);
    self.set_attr("image_format_distribution", a.global("Counter")(formats).get());
    a.line(52);
    co_return self.attr("image_format_distribution");
}

Coro get_image_size_distribution(Args a) {
    const Ref& self = a.ref(0);
    const Ref& callback = a.ref(1);
    a.line(55);
    if (is_empty(self, "path_list")) {
        a.line(56);
        co_await await_(self.attr("get_path_list")());
    }
    a.line(57);
    Ref sizes = empty_list();
    Py_ssize_t i = 0;
    a.line(58);
    for (const Ref& path : iterate(self.attr("path_list"))) {
        a.line(59);
        Ref image = a.global("Image").attr("open")(path);
        with_statement(image.get(), [&](const Ref& img) {
            a.line(60);
            append(sizes, Ref::steal(PyObject_Str(img.attr("size").get())));
        });
        a.line(61);
        if (callback.get() != Py_None) {
            a.line(62);
            co_await await_(callback(progress(i, self)));
        }
        ++i;
        a.line(58);
    }
    a.line(63);
    self.set_attr("image_size_distribution", a.global("Counter")(sizes).get());
    a.line(64);
    co_return self.attr("image_size_distribution");
}

Coro get_random_images(Args a) {
    const Ref& self = a.ref(0);
    a.line(67);
    Ref random_images = empty_list();
    a.line(68);
    if (a.ref(2).truthy()) {
        a.line(69);
        if (is_empty(self, "category_image_map")) {
            a.line(70);
            co_await await_(self.attr("get_category_distribution")());
        }
        a.line(71);
        Ref choice = a.global("random").attr("choice");
        Ref classes = self.attr("classes");
        Ref category_image_map = self.attr("category_image_map");
        for (const Ref& unused : iterate(a.global("range")(a[1]))) {
            (void)unused;
            a.line(72);
            Ref class_name = choice(classes);
            a.line(73);
            append(random_images, choice(category_image_map.item(class_name.get())));
        }
    } else {
        a.line(75);
        if (is_empty(self, "path_list")) {
            a.line(76);
            co_await await_(self.attr("get_path_list")());
        }
        a.line(77);
        random_images = a.global("random").attr("sample")(self.attr("path_list"), a[1]);
    }
    a.line(78);
    co_return random_images;
}

Coro main(Args a) {
    a.line(82);
    Ref pprint = a.import("pprint").attr("pprint");
    a.line(83);
    Ref dataset = command_line_dataset_directory(a.global("__name__"), "python -m pretrain.analyzing_tools [DIR]");
    Ref tool = a.global("ClsAnalyzingTool")(dataset);
    a.line(84);
    co_await await_(tool.attr("get_path_list")());
    a.line(85);
    Ref categories = co_await await_(tool.attr("get_category_distribution")());
    pprint(categories);
    a.line(86);
    Ref samples = co_await await_(tool.attr("get_random_images")());
    pprint(samples);
    a.line(87);
    Ref sizes = co_await await_(tool.attr("get_image_size_distribution")());
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
