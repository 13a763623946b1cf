"""The dataset check behind the `pretrain-check` command (cli.py): what the
package's `ClsAnalyzingTool` finds in a class-per-folder dataset, and what
would go wrong in training. Imports neither torch nor the mm stack."""
