// pretrain.datasets: the dataset-level transforms SplitData and RepeatData,
// the folder dataset NeuDataset, and the demonstration entry `main`.
//
//    1  import time
//    2  import logging
//    3  import asyncio
//    4  from typing import Dict
//    5
//    6  print()
//    7  start = time.perf_counter()
//    8  from mmengine.registry import TRANSFORMS
//    9  from mmengine.dataset.base_dataset import Compose
//   10  from mmcv.transforms.base import BaseTransform
//   11  from mmengine.registry import init_default_scope
//   12  print(f"mmengine import time: {(time.perf_counter() - start) * 1000:.6f}ms")
//   13  start = time.perf_counter()
//   14  from mmpretrain.datasets.custom import CustomDataset, DATASETS
//   15  import mmpretrain.datasets.transforms
//   16  print(f"mmpretrain import time: {(time.perf_counter() - start) * 1000:.6f}ms")
//   17  from ravelin.pretrain.analyzing_tools import ClsAnalyzingTool
//   18
//   19
//   20  @TRANSFORMS.register_module()
//   21  class SplitData(BaseTransform):
//   22      def __init__(self, start=0, end=0.8, random=True, seed=42, key="data_list"):
//   23          self.start = start
//   24          self.end = end
//   25          self.random = random
//   26          self.seed = seed
//   27          self.key = key
//   28
//   29      def transform(self, results: Dict):
//   30          data_list = results[self.key]
//   31          if self.random:
//   32              import numpy as np
//   33              rng = np.random.default_rng(self.seed)
//   34              rng.shuffle(data_list)
//   35          n_total = len(data_list)
//   36          start_index = int(n_total * self.start)
//   37          end_index = int(n_total * self.end)
//   38          split_data_list = data_list[start_index:end_index]
//   39          results[self.key] = split_data_list
//   40          logging.info(f"【SplitData】划分数据集，start={self.start}, end={self.end}，"
//   41                       f"数据集大小：{n_total}，划分大小：{len(split_data_list)}")
//   42          return results
//   43
//   44
//   45  @TRANSFORMS.register_module()
//   46  class RepeatData(BaseTransform):
//   47      def __init__(self, times=2):
//   48          self.times = times
//   49
//   50      def transform(self, results: Dict):
//   51          results["data_list"] = results["data_list"] * self.times
//   52          return results
//   53
//   54
//   55  @DATASETS.register_module()
//   56  class NeuDataset(CustomDataset):
//   57      def __init__(self, init_pipeline, category_map, **kwargs):
//   58          self.init_pipeline = Compose(init_pipeline)
//   59          self.category_map = category_map
//   60          classes = sorted(list(category_map.values()))
//   61          kwargs["classes"] = classes
//   62          self.classes = classes
//   63          self.tool = ClsAnalyzingTool(kwargs["data_root"])
//   64          self.category_dist = {}
//   65          super(NeuDataset, self).__init__(**kwargs)
//   66
//   67      def filter_data(self):
//   68          input_data = {"data_list": self.data_list}
//   69          data = self.init_pipeline(input_data)
//   70          return data["data_list"]
//   71
//   72      async def load_data_list2(self):
//   73          await self.tool.get_path_list()
//   74          await self.tool.get_category_distribution()
//   75          classes = self.classes
//   76          tool_classes = self.tool.classes
//   77          target_classes = {self.category_map[c] for c in tool_classes}
//   78          unknown_classes = {c for c in target_classes if c not in classes}
//   79          if unknown_classes:
//   80              raise Exception(f"Unknown classes: {unknown_classes}")
//   81          mapped_classes_counter = {}
//   82          data_list = []
//   83          for label, img_path_list in self.tool.category_image_map.items():
//   84              label = self.category_map[label]
//   85              mapped_classes_counter[label] = mapped_classes_counter.get(label, 0) + len(img_path_list)
//   86              gt_label = classes.index(label)
//   87              for img_path in img_path_list:
//   88                  data_list.append({"img_path": img_path, "gt_label": int(gt_label)})
//   89          print("类别分布: ")
//   90          for k, v in mapped_classes_counter.items():
//   91              print(f"{k}: {v}")
//   92          self.category_dist = mapped_classes_counter
//   93          return data_list
//   94
//   95      def load_data_list(self):
//   96          return asyncio.run(self.load_data_list2())
//   97
//   98
//   99  def main():
//  100      init_default_scope("mmpretrain")
//  101      dataset_type = "NeuDataset"
//  102      train_pipeline = [
//  103          dict(type="LoadImageFromFile"),
//  104          dict(type="ResizeEdge", scale=224, edge="short"),
//  105          dict(type="PackInputs"),
//  106      ]
//  107      train_init_pipeline = [dict(type="SplitData", start=0.0, end=0.8, random=True, seed=42)]
//  108      dataset = dict(type=dataset_type, data_root=sample_dataset_directory(),
//  109                     category_map={c: c for c in "0123456789"},
//  110                     init_pipeline=train_init_pipeline, pipeline=train_pipeline)
//  111      dataset2 = DATASETS.build(dataset)
//  112      print(dataset2)
//  113      print(dataset2.CLASSES)
//  114
//  115
//  116  if __name__ == "__main__":
//  117      main()
//
// sample_dataset_directory() is the bundled digits or $PRETRAIN_SAMPLE_DATA
// (sample_data.h).
#include "class_builder.h"
#include "coroutine.h"
#include "error.h"
#include "iteration.h"
#include "modules.h"
#include "operators.h"
#include "sample_data.h"

using namespace kaplet;

namespace pretrain {

namespace {

// print(f"<label>{(time.perf_counter() - start) * 1000:.6f}ms")
void print_elapsed(const Module& m, PyObject* label) {
    Ref print = m.lookup("print");
    Ref now = m.lookup("time").call_method("perf_counter"_py);
    Ref elapsed = multiply(subtract(now.get(), m.lookup("start").get()).get(), integer(1000).get());
    print(join_text({label, format(elapsed, ".6f"_py).get(), "ms"_py}));
}

// ---- SplitData ------------------------------------------------------------

Ref split_init(Args& a) {
    const Ref& self = a.ref(0);
    a.line(23);
    self.set_attr("start"_py, a[1]);
    a.line(24);
    self.set_attr("end"_py, a[2]);
    a.line(25);
    self.set_attr("random"_py, a[3]);
    a.line(26);
    self.set_attr("seed"_py, a[4]);
    a.line(27);
    self.set_attr("key"_py, a[5]);
    return none();
}

Ref split_transform(Args& a) {
    const Ref& self = a.ref(0);
    const Ref& results = a.ref(1);
    a.line(30);
    Ref data_list = results.item(self.attr("key"_py).get());
    a.line(31);
    if (self.attr("random"_py).truthy()) {
        a.line(32);
        Ref np = a.import("numpy"_py);
        a.line(33);
        Ref rng = np.attr("random"_py).call_method("default_rng"_py, self.attr("seed"_py));
        a.line(34);
        rng.call_method("shuffle"_py, data_list);
    }
    a.line(35);
    Ref n_total = a.global<"len">()(data_list);
    a.line(36);
    Ref start_index = a.global<"int">()(multiply(n_total.get(), self.attr("start"_py).get()));
    a.line(37);
    Ref end_index = a.global<"int">()(multiply(n_total.get(), self.attr("end"_py).get()));
    a.line(38);
    Ref split_data_list = slice(data_list.get(), start_index.get(), end_index.get());
    a.line(39);
    results.set_item(self.attr("key"_py).get(), split_data_list);
    a.line(40);
    Method logging_info(a.global<"logging">().get(), "info"_py);
    Ref message = join_text({
        "【SplitData】划分数据集，start="_py,
        format(self.attr("start"_py)).get(),
        ", end="_py,
        format(self.attr("end"_py)).get(),
        "，数据集大小："_py,
        format(n_total).get(),
        "，划分大小："_py,
        format(a.global<"len">()(split_data_list)).get(),
    });
    logging_info(message);
    a.line(42);
    return results;
}

constexpr Param kSplitInitParams[] = {{"self"}, {"start"}, {"end"}, {"random"}, {"seed"}, {"key"}};
constexpr FunctionDef kSplitInit{"__init__", kSplitInitParams, split_init};
constexpr Param kTransformParams[] = {{"self"}, {"results"}};
constexpr FunctionDef kSplitTransform{"transform", kTransformParams, split_transform};

// ---- RepeatData -----------------------------------------------------------

Ref repeat_init(Args& a) {
    a.line(48);
    a.ref(0).set_attr("times"_py, a[1]);
    return none();
}

Ref repeat_transform(Args& a) {
    const Ref& results = a.ref(1);
    a.line(51);
    Ref repeated = multiply(results.item("data_list"_py).get(), a.ref(0).attr("times"_py).get());
    results.set_item("data_list"_py, repeated);
    a.line(52);
    return results;
}

constexpr Param kRepeatInitParams[] = {{"self"}, {"times"}};
constexpr FunctionDef kRepeatInit{"__init__", kRepeatInitParams, repeat_init};
constexpr FunctionDef kRepeatTransform{"transform", kTransformParams, repeat_transform};

// ---- NeuDataset -----------------------------------------------------------

Ref dataset_init(Args& a) {
    const Ref& self = a.ref(0);
    const Ref& category_map = a.ref(2);
    const Ref& kwargs = a.ref(3);
    a.line(58);
    self.set_attr("init_pipeline"_py, a.global<"Compose">()(a[1]));
    a.line(59);
    self.set_attr("category_map"_py, category_map);
    a.line(60);
    Ref classes = a.global<"sorted">()(a.global<"list">()(category_map.call_method("values"_py)));
    a.line(61);
    kwargs.set_item("classes"_py, classes);
    a.line(62);
    self.set_attr("classes"_py, classes);
    a.line(63);
    self.set_attr("tool"_py, a.global<"ClsAnalyzingTool">()(kwargs.item("data_root"_py)));
    a.line(64);
    self.set_attr("category_dist"_py, new_dict());
    a.line(65);
    Ref base = a.global<"super">()(a.global<"NeuDataset">(), self);
    call_star(base.attr("__init__"_py).get(), nullptr, kwargs.get());
    return none();
}

Ref filter_data(Args& a) {
    const Ref& self = a.ref(0);
    a.line(68);
    Ref input_data = new_dict();
    input_data.set_item("data_list"_py, self.attr("data_list"_py));
    a.line(69);
    Ref data = self.call_method("init_pipeline"_py, input_data);
    a.line(70);
    return data.item("data_list"_py);
}

// int(value) where `int` is what the function's globals say it is. When it
// is the built-in int and value an exact int, the call would hand back value
// itself, with no Python code in between.
Ref int_of(const Args& a, const Ref& value) {
    Ref int_type = a.global<"int">();
    if (int_type.get() == reinterpret_cast<PyObject*>(&PyLong_Type) && PyLong_CheckExact(value.get())) return value;
    return int_type(value);
}

// {"img_path": img_path, "gt_label": gt_label}
Ref data_entry(PyObject* img_path, PyObject* gt_label) {
    Ref entry = Ref::steal(_PyDict_NewPresized(2));
    check(PyDict_SetItem(entry.get(), "img_path"_py, img_path));
    check(PyDict_SetItem(entry.get(), "gt_label"_py, gt_label));
    return entry;
}

Coro load_data_list2(Args a) {
    const Ref& self = a.ref(0);
    a.line(73);
    co_await await_(self.attr("tool"_py).call_method("get_path_list"_py));
    a.line(74);
    co_await await_(self.attr("tool"_py).call_method("get_category_distribution"_py));
    a.line(75);
    Ref classes = self.attr("classes"_py);
    a.line(76);
    Ref tool_classes = self.attr("tool"_py).attr("classes"_py);
    a.line(77);
    Ref target_classes = Ref::steal(PySet_New(nullptr));
    for (const Ref& c : iterate(tool_classes)) {
        check(PySet_Add(target_classes.get(), self.attr("category_map"_py).item(c.get()).get()));
    }
    a.line(78);
    Ref unknown_classes = Ref::steal(PySet_New(nullptr));
    for (const Ref& c : iterate(target_classes)) {
        if (!contains(classes.get(), c.get())) check(PySet_Add(unknown_classes.get(), c.get()));
    }
    a.line(79);
    if (unknown_classes.truthy()) {
        a.line(80);
        Ref error = a.global<"Exception">()(join_text({"Unknown classes: "_py, format(unknown_classes).get()}));
        raise_object(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    a.line(81);
    Ref mapped_classes_counter = new_dict();
    a.line(82);
    Ref data_list = list({});
    a.line(83);
    Ref pairs = self.attr("tool"_py).attr("category_image_map"_py).call_method("items"_py);
    for (const Ref& pair : iterate(pairs)) {
        auto [folder, img_path_list] = unpack<2>(pair.get());
        a.line(84);
        Ref label = self.attr("category_map"_py).item(folder.get());
        a.line(85);
        Ref so_far = Ref::borrow_or_null(PyDict_GetItemWithError(mapped_classes_counter.get(), label.get()));
        if (!so_far) {
            if (PyErr_Occurred()) throw_python_error();
            so_far = integer(0);
        }
        Ref count = add(so_far.get(), a.global<"len">()(img_path_list).get());
        mapped_classes_counter.set_item(label.get(), count);
        a.line(86);
        Ref gt_label = classes.call_method("index"_py, label);
        a.line(87);
        for (const Ref& img_path : iterate(img_path_list)) {
            a.line(88);
            Ref label_index = int_of(a, gt_label);
            check(PyList_Append(data_list.get(), data_entry(img_path.get(), label_index.get()).get()));
            a.line(87);
        }
        a.line(83);
    }
    a.line(89);
    a.global<"print">()("类别分布: "_py);
    a.line(90);
    for (const Ref& pair : iterate(mapped_classes_counter.call_method("items"_py))) {
        auto [k, v] = unpack<2>(pair.get());
        a.line(91);
        a.global<"print">()(join_text({format(k).get(), ": "_py, format(v).get()}));
        a.line(90);
    }
    a.line(92);
    self.set_attr("category_dist"_py, mapped_classes_counter);
    a.line(93);
    co_return data_list;
}

Ref load_data_list(Args& a) {
    a.line(96);
    Method run(a.global<"asyncio">().get(), "run"_py);
    return run(a.ref(0).call_method("load_data_list2"_py));
}

constexpr Param kDatasetInitParams[] = {{"self"}, {"init_pipeline"}, {"category_map"}, varkw("kwargs")};
constexpr FunctionDef kDatasetInit{"__init__", kDatasetInitParams, dataset_init};
constexpr Param kSelfParams[] = {{"self"}};
constexpr FunctionDef kFilterData{"filter_data", kSelfParams, filter_data};
constexpr FunctionDef kLoadDataList2{"load_data_list2", kSelfParams, load_data_list2};
constexpr FunctionDef kLoadDataList{"load_data_list", kSelfParams, load_data_list};

// ---- main -----------------------------------------------------------------

Ref main_impl(Args& a) {
    a.line(100);
    a.global<"init_default_scope">()("mmpretrain"_py);
    a.line(101);
    Ref dataset_type = str("NeuDataset");
    a.line(102);
    Ref dict = a.global<"dict">();
    Ref train_pipeline = list({
        call_kw(dict.get(), {}, {{"type", str("LoadImageFromFile")}}).get(),
        call_kw(dict.get(), {}, {{"type", str("ResizeEdge")}, {"scale", integer(224)}, {"edge", str("short")}}).get(),
        call_kw(dict.get(), {}, {{"type", str("PackInputs")}}).get(),
    });
    a.line(107);
    Ref train_init_pipeline = list({
        call_kw(dict.get(), {},
                {{"type", str("SplitData")}, {"start", floating(0.0)}, {"end", floating(0.8)},
                 {"random", Py_True}, {"seed", integer(42)}})
            .get(),
    });
    a.line(108);
    Ref category_map = new_dict();
    for (const Ref& c : iterate(str("0123456789"))) category_map.set_item(c.get(), c.get());
    Ref dataset = call_kw(dict.get(), {},
                          {{"type", dataset_type},
                           {"data_root", sample_dataset_directory()},
                           {"category_map", category_map},
                           {"init_pipeline", train_init_pipeline},
                           {"pipeline", train_pipeline}});
    a.line(111);
    Ref dataset2 = a.global<"DATASETS">().call_method("build"_py, dataset);
    a.line(112);
    a.global<"print">()(dataset2);
    a.line(113);
    a.global<"print">()(dataset2.attr("CLASSES"_py));
    return none();
}

constexpr FunctionDef kMain{"main", main_impl};

}  // namespace

void datasets_body(Module& m) {
    m.line(1);
    m.import("time");
    m.line(2);
    m.import("logging");
    m.line(3);
    m.import("asyncio");
    m.line(4);
    m.import_from_standard("typing", {"Dict"});
    m.line(6);
    m.lookup("print")();
    m.line(7);
    m.bind("start", m.lookup("time").attr("perf_counter")());
    m.line(8);
    m.import_from("mmengine.registry", {{"TRANSFORMS", nullptr}});
    m.line(9);
    m.import_from("mmengine.dataset.base_dataset", {{"Compose", nullptr}});
    m.line(10);
    m.import_from("mmcv.transforms.base", {{"BaseTransform", nullptr}});
    m.line(11);
    m.import_from("mmengine.registry", {{"init_default_scope", nullptr}});
    m.line(12);
    print_elapsed(m, "mmengine import time: "_py);
    m.line(13);
    m.bind("start", m.lookup("time").attr("perf_counter")());
    m.line(14);
    m.import_from("mmpretrain.datasets.custom", {{"CustomDataset", nullptr}, {"DATASETS", nullptr}});
    m.line(15);
    m.import("mmpretrain.datasets.transforms");
    m.line(16);
    print_elapsed(m, "mmpretrain import time: "_py);
    m.line(17);
    m.import_from("ravelin.pretrain.analyzing_tools", {{"ClsAnalyzingTool", nullptr}});

    m.line(20);
    class_statement(m,
                    {"SplitData", {m.lookup("BaseTransform")}, Ref(),
                     [&] { return m.lookup("TRANSFORMS").attr("register_module")(); }},
                    [](ClassBody& cls) {
                        Ref defaults = tuple({integer(0).get(), floating(0.8).get(), Py_True, integer(42).get(),
                                              str("data_list").get()});
                        cls.def(kSplitInit, {.defaults = defaults});
                        cls.def(kSplitTransform, {.annotations = annotations({{"results", cls.lookup("Dict")}})});
                    });
    m.line(45);
    class_statement(m,
                    {"RepeatData", {m.lookup("BaseTransform")}, Ref(),
                     [&] { return m.lookup("TRANSFORMS").attr("register_module")(); }},
                    [](ClassBody& cls) {
                        cls.def(kRepeatInit, {.defaults = tuple({integer(2).get()})});
                        cls.def(kRepeatTransform, {.annotations = annotations({{"results", cls.lookup("Dict")}})});
                    });
    m.line(55);
    class_statement(m,
                    {"NeuDataset", {m.lookup("CustomDataset")}, Ref(),
                     [&] { return m.lookup("DATASETS").attr("register_module")(); }},
                    [](ClassBody& cls) {
                        cls.def(kDatasetInit);
                        cls.def(kFilterData);
                        cls.def(kLoadDataList2);
                        cls.def(kLoadDataList);
                    });
    m.line(99);
    m.def(kMain);
    m.line(116);
    if (equal(m.name().get(), str("__main__").get())) {
        m.line(117);
        m.lookup("main")();
    }
}

}  // namespace pretrain
