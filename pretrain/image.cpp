// pretrain.image: ImageClassifier, replacing the stack's classifier of that name.
//
//   from typing import List, Optional
//   import torch
//   from mmpretrain.models.classifiers.image import ImageClassifier as BaseImageClassifier
//   from mmpretrain.registry import MODELS
//   from mmpretrain.structures import DataSample
//   from ravelin.base.meta_class import MetaClass
//
//   @MODELS.register_module(force=True, name='ImageClassifier')
//   class ImageClassifier(BaseImageClassifier, metaclass=MetaClass):
//       def __init__(self, *args, **kwargs):
//           super().__init__(*args, **kwargs)
//
//       def loss(self, inputs: torch.Tensor, data_samples: List[DataSample]) -> dict:
//           feats = self.extract_feat(inputs)
//           return self.head.loss(feats, data_samples)
//
//       def predict(self, inputs: torch.Tensor, data_samples: Optional[List[DataSample]] = None,
//                   **kwargs) -> List[DataSample]:
//           feats = self.extract_feat(inputs)
//           cls_score = self.head.forward(feats)
//           cls_score -= self.head.bias
//           predictions = self._get_predictions(cls_score, data_samples)
//           return predictions
#include "class_builder.h"
#include "error.h"
#include "modules.h"

using namespace kaplet;

namespace pretrain {

namespace {

Ref init(Args& a) {
    a.line(13);
    call_star(a.super().attr("__init__"_py).get(), a[1], a[2]);
    return none();
}

Ref loss(Args& a) {
    const Ref& self = a.ref(0);
    a.line(16);
    Ref feats = self.call_method("extract_feat"_py, a[1]);
    a.line(17);
    return self.attr("head"_py).call_method("loss"_py, feats, a[2]);
}

Ref predict(Args& a) {
    const Ref& self = a.ref(0);
    a.line(21);
    Ref feats = self.call_method("extract_feat"_py, a[1]);
    a.line(22);
    Ref cls_score = self.attr("head"_py).call_method("forward"_py, feats);
    a.line(23);
    Ref bias = self.attr("head"_py).attr("bias"_py);
    cls_score = Ref::steal(PyNumber_InPlaceSubtract(cls_score.get(), bias.get()));
    a.line(24);
    Ref predictions = self.call_method("_get_predictions"_py, cls_score, a[2]);
    a.line(25);
    return predictions;
}

constexpr Param kInitParams[] = {{"self"}, varargs("args"), varkw("kwargs")};
constexpr FunctionDef kInit{"__init__", kInitParams, init};
constexpr Param kLossParams[] = {{"self"}, {"inputs"}, {"data_samples"}};
constexpr FunctionDef kLoss{"loss", kLossParams, loss};
constexpr Param kPredictParams[] = {{"self"}, {"inputs"}, {"data_samples"}, varkw("kwargs")};
constexpr FunctionDef kPredict{"predict", kPredictParams, predict};

}  // namespace

void image_body(Module& m) {
    m.line(1);
    m.import_from_standard("typing", {"List", "Optional"});
    m.line(2);
    m.import("torch");
    m.line(3);
    m.import_from("mmpretrain.models.classifiers.image", {{"ImageClassifier", "BaseImageClassifier"}});
    m.line(4);
    m.import_from("mmpretrain.registry", {{"MODELS", nullptr}});
    m.line(5);
    m.import_from("mmpretrain.structures", {{"DataSample", nullptr}});
    m.line(6);
    m.import_from("ravelin.base.meta_class", {{"MetaClass", nullptr}});
    m.line(8);
    class_statement(
        m,
        {"ImageClassifier", {m.lookup("BaseImageClassifier")}, m.lookup("MetaClass"),
         [&] {
             return call_kw(m.lookup("MODELS").attr("register_module").get(), {},
                            {{"force", Py_True}, {"name", str("ImageClassifier")}});
         }},
        [](ClassBody& cls) {
            cls.def(kInit);
            {
                Ref tensor = cls.lookup("torch").attr("Tensor");
                Ref samples = cls.lookup("List").item(cls.lookup("DataSample").get());
                cls.def(kLoss, {.annotations = annotations({{"inputs", tensor},
                                                            {"data_samples", samples},
                                                            {"return", cls.lookup("dict")}})});
            }
            {
                Ref defaults = tuple({Py_None});
                Ref tensor = cls.lookup("torch").attr("Tensor");
                Ref samples = cls.lookup("Optional").item(
                    cls.lookup("List").item(cls.lookup("DataSample").get()).get());
                Ref result = cls.lookup("List").item(cls.lookup("DataSample").get());
                cls.def(kPredict, {.defaults = defaults,
                                   .annotations = annotations({{"inputs", tensor},
                                                               {"data_samples", samples},
                                                               {"return", result}})});
            }
        });
}

}  // namespace pretrain
