"""Makes the module's type stub: the template, with each class's joint commands written in from the
one place they are declared (src/control_loop/joint_commands.def).

    python stub_gen.py JOINT_COMMANDS_DEF TEMPLATE OUTPUT
"""

from __future__ import annotations

import re
import sys

# What each kind of argument is to Python: for the controller's method, and for the loop's.
ARGUMENTS = {
    "AllServoGoals": ("Sequence[float]", "VelmoraTorsoPosition"),
    "LeftArmGoals": ("Sequence[float]",) * 2,
    "RightArmGoals": ("Sequence[float]",) * 2,
    "ArmsGoals": ("Sequence[float]",) * 2,
    "NoseGoals": ("Sequence[float]",) * 2,
    "NeckGoals": ("Sequence[float]",) * 2,
    "NeckGoal": ("float",) * 2,
    "Flag": ("bool",) * 2,
    "ServoIds": ("Sequence[int]",) * 2,
    "NoArg": (None, None),
}
RETURNS = {"Nothing": "None", "Positions": "list[float]", "Position": "float"}
CLASSES = ("VelmoraMotorController", "VelmoraPyControlLoop")


def entries(text: str) -> list[list[str]]:
    """The arguments of every JOINT_COMMAND(...) outside comments, split at top-level commas."""
    text = re.sub(r"//[^\n]*", "", text)
    found = []
    for start in (m.end() for m in re.finditer(r"\bJOINT_COMMAND\(", text)):
        args, depth, current, i, quoted = [], 0, "", start, False
        while True:
            c = text[i]
            if quoted:
                current += c
                if c == "\\":
                    current += text[i + 1]
                    i += 1
                elif c == '"':
                    quoted = False
            elif c == '"':
                quoted, current = True, current + c
            elif c in "(<":
                depth, current = depth + 1, current + c
            elif c in ")>" and depth > 0:
                depth, current = depth - 1, current + c
            elif c == ")":
                args.append(current.strip())
                break
            elif c == "," and depth == 0:
                args.append(current.strip())
                current = ""
            else:
                current += c
            i += 1
        found.append(args)
    return found


def method_lines(commands: list[list[str]], owner: int) -> list[str]:
    lines = []
    for type_, name, param, arg, _call, returns, _torque, *_docs in commands:
        kind = arg.split("<")[0]
        python_type = ARGUMENTS[kind][owner]
        result = RETURNS[returns] if owner == 0 else "None"
        params = "self" if python_type is None else f"self, {param}: {python_type}"
        lines.append(f"    def {name}({params}) -> {result}: ...")
    return lines


def main(definition: str, template: str, output: str) -> None:
    with open(definition, encoding="utf-8") as f:
        commands = entries(f.read())
    with open(template, encoding="utf-8") as f:
        lines = f.read().split("\n")
    owner = -1
    out = []
    for line in lines:
        m = re.match(r"class (\w+)", line)
        if m and m.group(1) in CLASSES:
            owner = CLASSES.index(m.group(1))
        if line.strip() == "# @joint commands@":
            out += method_lines(commands, owner)
        else:
            out.append(line)
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main(*sys.argv[1:4])
