"""The analysis tool that datasets use: the package's own."""
from pretrain.analyzing_tools import ClsAnalyzingTool

__all__ = ["ClsAnalyzingTool"]
