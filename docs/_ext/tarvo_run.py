"""The tarvo-run directive: Python code of the tutorial, executed while the docs build.

    .. tarvo-run::
       :figure: fit.png

       result = tarvo.fit(...)
       print(result.fit_report())
       figure = result.plot()

shows the code, runs it in a namespace shared by the directives of one page,
and shows what it printed; with :figure: it saves the matplotlib Figure that
the code left in `figure` and shows it. Code that raises fails the build, so
the tutorial cannot go stale.
"""

import contextlib
import io
import traceback
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective

# Where figures go, inside the source directory (ignored by git and Sphinx's sources).
GENERATED = "_generated"


class TarvoRun(SphinxDirective):
    has_content = True
    option_spec = {"figure": directives.unchanged, "hide-code": directives.flag}

    # Execute the code and return the code, output and figure nodes.
    def run(self):
        code = "\n".join(self.content)
        namespace = self.env.temp_data.setdefault("tarvo_run_namespace", {
            "__name__": "tutorial",
            "EXAMPLES": str(Path(self.env.srcdir).parent / "examples"),
        })
        output = io.StringIO()
        try:
            with contextlib.redirect_stdout(output):
                exec(compile(code, f"{self.env.docname}.rst:{self.lineno}", "exec"), namespace)
        except Exception:
            raise self.error("tarvo-run code failed:\n" + traceback.format_exc()) from None
        result = []
        if "hide-code" not in self.options:
            result.append(nodes.literal_block(code, code, language="python"))
        text = output.getvalue().rstrip()
        if text:
            block = nodes.literal_block(text, text, language="text")
            block["classes"].append("tarvo-output")
            result.append(block)
        if "figure" in self.options:
            figure = namespace.get("figure")
            if figure is None or not hasattr(figure, "savefig"):
                raise self.error("tarvo-run :figure: needs the code to leave a matplotlib "
                                 "Figure in `figure`")
            target = Path(self.env.srcdir) / GENERATED / self.options["figure"]
            target.parent.mkdir(exist_ok=True)
            figure.savefig(target, dpi=90)
            result.append(nodes.image(uri=f"/{GENERATED}/{self.options['figure']}",
                                      width="100%"))
        return result


def setup(app):
    app.add_directive("tarvo-run", TarvoRun)
    return {"parallel_read_safe": False, "parallel_write_safe": True}
