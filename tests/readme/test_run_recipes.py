"""The recipe runner refuses what it could not test and reports what fails."""

from pathlib import Path

import pytest

import run_recipes
from run_recipes import RecipeError, check_links, main, parse

README = Path(__file__).resolve().parents[2] / "README.md"


def fenced(language: str, body: str, marker: str | None = None) -> str:
    head = f"<!-- recipe: {marker} -->\n" if marker else ""
    return f"{head}```{language}\n{body}```\n"


@pytest.fixture
def trees(tmp_path, monkeypatch):
    """A build tree and a source tree with what the work folder links to."""
    build = tmp_path / "build"
    for part in ("bin", "python", "examples"):
        (build / part).mkdir(parents=True)
    (build / "examples" / "scene.dn").write_bytes(b"\0\0")
    source = tmp_path / "source"
    (source / "examples").mkdir(parents=True)
    (source / "examples" / "example-parameters.txt").write_text("320 320\n")
    (source / "examples" / "output").mkdir()
    (source / "examples" / "output" / "left-by-example.sh").write_text("")
    monkeypatch.setenv("PYTHONPATH", "/somewhere/else")
    return build, source


def run_readme(tmp_path, trees, text: str) -> int:
    readme = tmp_path / "README.md"
    readme.write_text(text)
    build, source = trees
    return main(["--readme", str(readme), "--build", str(build), "--source", str(source)])


def test_the_project_readme_marks_every_block():
    blocks = parse(README.read_text(encoding="utf-8"))
    kinds = {block.kind for block in blocks}
    assert {"run", "file", "skip", "local-cluster", "same-as"} <= kinds


@pytest.mark.parametrize(
    "text, complaint",
    [
        (fenced("sh", "ls\n"), "README line 1: the sh block has no <!-- recipe: ... --> marker"),
        (fenced("", "ls\n", "run"), "names no language"),
        (fenced("sh", "ls\n", "skip"), "'skip' needs its reason"),
        (fenced("sh", "ls\n", "sometimes"), "unknown recipe marker 'sometimes'"),
        (fenced("text", "out\n", "run"), "a text block cannot be run"),
        (fenced("python", "x = 1\n", "file ../outside.py"), "needs a relative file name"),
        (
            fenced("python", "x = 1\n", "file a.py") + fenced("sh", "cat a.py\n", "run"),
            "a.py is written but no later recipe runs it",
        ),
        ("```sh\nls\n", "never closed"),
        (fenced("sh", "sbatch job\n", "local-cluster bash job"), "takes ': COMMAND'"),
        (fenced("sh", "sbatch job\n", "local-cluster: python3 job.py"), "name the interpreter"),
    ],
)
def test_blocks_that_could_not_be_tested_are_refused(text, complaint):
    with pytest.raises(RecipeError, match=complaint.replace("(", r"\(").replace(".", r"\.")):
        parse(text)


@pytest.mark.parametrize(
    "command", ["python3 a.py", "x | python a.py", "env python3 -c 1", "(python3 -V)"]
)
def test_a_bare_interpreter_is_refused(command):
    with pytest.raises(RecipeError, match="README line 4: name the interpreter as /usr/bin/py"):
        parse("text\n" + fenced("sh", command + "\n", "run"))


@pytest.mark.parametrize(
    "command",
    [
        "/usr/bin/python3 a.py",
        "apt-get install python3-numpy",
        "ls build/python",
        "echo hi  # python3 a.py",
    ],
)
def test_debian_interpreter_and_package_names_pass(command):
    parse(fenced("sh", command + "\n", "run"))


def test_a_marker_applies_only_to_the_block_right_after_it():
    text = "<!-- recipe: run -->\n\nSome prose.\n\n" + fenced("sh", "ls\n")
    with pytest.raises(RecipeError, match="README line 1: the recipe marker is not followed by"):
        parse(text)


def test_indented_blocks_lose_their_indent():
    (block,) = parse("- item\n\n  <!-- recipe: run -->\n  ```sh\n  ls\n  ```\n")
    assert block.text == "ls\n" and block.line == 4


def test_recipes_chain_in_one_folder_without_the_callers_module_path(tmp_path, trees, capsys):
    text = (
        fenced("python", "import os\nprint(os.environ.get('PYTHONPATH', 'none'))\n", "file show.py")
        + fenced("sh", "mkdir -p out\n/usr/bin/python3 show.py > out/path.txt\n", "run")
        + fenced(
            "sh",
            "grep -qx none out/path.txt\ntest -f examples/example-parameters.txt\n"
            "test ! -e examples/output\n"
            "test -f build/examples/scene.dn\n",
            "run",
        )
        + fenced("python", "import os\nassert os.path.isdir('out')\n", "run")
        + fenced("sh", "exit 1\n", "skip (display)")
        + fenced(
            "sh", '#!/bin/bash\necho "task $SLURM_ARRAY_TASK_ID" > task.txt\n', "file job.sbatch"
        )
        + fenced(
            "sh",
            "sbatch --array=0-9 job.sbatch\n",
            "local-cluster: SLURM_ARRAY_TASK_ID=3 bash job.sbatch",
        )
        + fenced("sh", "grep -qx 'task 3' task.txt\n", "run")
        + fenced("text", "320 320\n", "same-as examples/example-parameters.txt")
        + fenced(
            "text",
            "tool   [-q]\n        FILE\n",
            "output-of printf 'Usage: tool [-q] FILE\\n\\nMore.'",
        )
    )
    assert run_readme(tmp_path, trees, text) == 0
    assert "5 recipes ran and succeeded" in capsys.readouterr().out


def test_a_failing_recipe_names_its_line_and_status_and_stops_the_run(tmp_path, trees, capsys):
    text = (
        "Intro.\n\n"
        + fenced("sh", "echo before\nfalse\necho after\n", "run")
        + fenced("sh", "touch ran-later\n", "run")
    )
    assert run_readme(tmp_path, trees, text) == 1
    err = capsys.readouterr().err
    assert "README line 4: the sh recipe ended with status 1" in err
    assert "before" in err and "after" not in err.split("--- standard output")[1]


def test_a_failing_pipeline_fails_the_recipe(tmp_path, trees):
    assert run_readme(tmp_path, trees, fenced("sh", "false | cat\n", "run")) == 1


def test_a_recipe_that_hangs_is_stopped(tmp_path, trees, monkeypatch, capsys):
    monkeypatch.setattr(run_recipes, "BLOCK_SECONDS", 1)
    assert run_readme(tmp_path, trees, fenced("sh", "sleep 30 &\nsleep 30\n", "run")) == 1
    assert "still running after 1 s" in capsys.readouterr().err


def test_a_copy_that_no_longer_matches_its_file_fails(tmp_path, trees, capsys):
    text = fenced("text", "640 640\n", "same-as examples/example-parameters.txt")
    assert run_readme(tmp_path, trees, text) == 1
    err = capsys.readouterr().err
    assert "README line 2: the block is no longer a copy of examples/example-parameters.txt" in err


def test_links_lead_to_headings_and_files(tmp_path):
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "developing.md").write_text("")
    good = (
        "## Georeferenced scenes: `talvex-geo`\n\n```sh\n# Not a heading\n```\n"
        "See [it](#georeferenced-scenes-talvex-geo), [dev](docs/developing.md) "
        "and [web](https://example.org/x).\n"
    )
    check_links(good, tmp_path)
    with pytest.raises(RecipeError, match="README line 4: no heading has the anchor #not-a-h"):
        check_links("```sh\n# Not a heading\n```\n[x](#not-a-heading)\n", tmp_path)
    with pytest.raises(RecipeError, match="README line 1: the link to docs/gone.md leads nowhere"):
        check_links("[x](docs/gone.md)\n", tmp_path)


def test_a_usage_that_is_no_longer_printed_fails(tmp_path, trees, capsys):
    text = fenced("text", "tool [-q] FILE\n", "output-of echo 'tool [-q] [-v] FILE'")
    assert run_readme(tmp_path, trees, text) == 1
    err = capsys.readouterr().err
    assert "README line 2: 'echo 'tool [-q] [-v] FILE'' no longer prints this block" in err
