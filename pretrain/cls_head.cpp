// pretrain.cls_head: LinearClsHead, replacing the stack's head of that name.
//
//   from typing import Tuple
//   import torch
//   from mmpretrain.models.heads.linear_head import LinearClsHead as BaseLinearClsHead
//   from mmpretrain.registry import MODELS
//   from ravelin.base.meta_class import MetaClass
//
//   @MODELS.register_module(force=True, name='LinearClsHead')
//   class LinearClsHead(BaseLinearClsHead, metaclass=MetaClass):
//       def forward(self, feats: Tuple[torch.Tensor], **kwargs):
//           return super().forward(feats)
#include "class_builder.h"
#include "error.h"
#include "modules.h"

using namespace kaplet;

namespace pretrain {

namespace {

Ref forward(Args& a) {
    a.line(12);
    return a.super().call_method("forward"_py, a[1]);
}

constexpr Param kForwardParams[] = {{"self"}, {"feats"}, varkw("kwargs")};
constexpr FunctionDef kForward{"forward", kForwardParams, forward};

}  // namespace

void cls_head_body(Module& m) {
    m.line(1);
    m.import_from_standard("typing", {"Tuple"});
    m.line(2);
    m.import("torch");
    m.line(3);
    m.import_from("mmpretrain.models.heads.linear_head", {{"LinearClsHead", "BaseLinearClsHead"}});
    m.line(4);
    m.import_from("mmpretrain.registry", {{"MODELS", nullptr}});
    m.line(5);
    m.import_from("ravelin.base.meta_class", {{"MetaClass", nullptr}});
    m.line(7);
    class_statement(
        m,
        {"LinearClsHead", {m.lookup("BaseLinearClsHead")}, m.lookup("MetaClass"),
         [&] {
             return call_kw(m.lookup("MODELS").attr("register_module").get(), {},
                            {{"force", Py_True}, {"name", str("LinearClsHead")}});
         }},
        [](ClassBody& cls) {
            Ref feats = cls.lookup("Tuple").item(cls.lookup("torch").attr("Tensor").get());
            cls.def(kForward, {.annotations = annotations({{"feats", feats}})});
        });
}

}  // namespace pretrain
