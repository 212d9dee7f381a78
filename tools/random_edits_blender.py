"""The edits of tools/random_edits.py, run inside a Blender with a window.

tools/random_edits.py has the window agent (tools/window_agent.py) execute
this file in its namespace (``override``, ``areas``, ``region_of`` come from
there), then calls ``run_edit(kind, seed)`` once per edit.  An edit is what
an artist does in one gesture: through an operator in the 3D View's context,
as the UI runs it, or through the data API followed by an undo step, as an
add-on or a script does.  It picks its objects with ``random.Random(seed)``
among the view layer's objects sorted by name, so the same sequence of
kinds and seeds on the same .blend makes the same edits again.

An edit that Blender refuses in the state it finds (a poll failure, an
operator's error report, CANCELLED, nothing to act on) is part of a real
session: it is reported as refused, not as a fault.  Nothing here reads
evaluated data, so that a replay without the add-on reads none at all.
"""
import random
import time
import traceback

import bpy


class Refused(Exception):
    pass


# Geometry beyond this is not made heavier: llvmpipe redraws it too slowly.
HEAVY = 20000
MODIFIERS = ('SUBSURF', 'DISPLACE', 'BEVEL', 'MIRROR', 'ARRAY', 'SOLIDIFY', 'MULTIRES')
NAMES = ("Rock", "Teil", "Bäume", "Deck", "Wall", "Kiste", "Arch")


# -- context ------------------------------------------------------------------

def _op(name, **props):
    """Runs bpy.ops.<name> in the 3D View's context as the UI does, with its
    undo step (called from Python, an operator pushes none unless asked);
    Refused unless FINISHED."""
    group, _, op = name.partition(".")
    function = getattr(getattr(bpy.ops, group), op)
    with override():
        done = function('EXEC_DEFAULT', True, **props)
    if 'FINISHED' not in done:
        raise Refused("%s: %s" % (name, ", ".join(sorted(done))))
    return done


def _push(message):
    """The undo step a data-API edit does not make by itself."""
    _op("ed.undo_push", message=message)


def _objects(types=None, visible=False):
    layer = bpy.context.view_layer
    found = sorted(layer.objects, key=lambda o: o.name)
    if types:
        found = [o for o in found if o.type in types]
    if visible:
        found = [o for o in found if o.visible_get()]
    return found


def _pick(rng, types=None, visible=True, count=1):
    found = _objects(types, visible)
    if len(found) < count:
        raise Refused("fewer than %d %s objects" % (count, "/".join(types or ("visible",))))
    return rng.sample(found, count) if count > 1 else rng.choice(found)


def _object_mode(args):
    """Leaves edit or sculpt mode as the artist would (Tab) before an
    object-mode edit."""
    mode = bpy.context.mode
    if mode != 'OBJECT':
        args["left"] = mode
        _op("object.mode_set", mode='OBJECT')


def _select(obs, active=None):
    layer = bpy.context.view_layer
    names = {o.name for o in obs}
    for o in layer.objects:
        o.select_set(o.name in names)
    layer.objects.active = active or obs[0]


def _edited(args, types=('MESH',)):
    """The object in edit mode when there is one of ``types`` (else None)."""
    ob = bpy.context.object
    if bpy.context.mode.startswith('EDIT') and ob is not None and ob.type in types:
        args["edit"] = ob.name
        return ob
    return None


def _enter(rng, args, mode, types=('MESH',), prefer=None):
    """A visible object of ``types`` made active and put in ``mode``."""
    _object_mode(args)
    candidates = _objects(types, visible=True)
    if not candidates:
        raise Refused("no visible %s object" % "/".join(types))
    if prefer:
        preferred = [o for o in candidates if prefer(o)]
        if preferred and rng.random() < 0.5:
            candidates = preferred
    ob = rng.choice(candidates)
    _select([ob])
    args["object"] = ob.name
    _op("object.mode_set", mode=mode)
    return ob


def _select_some(rng, args, ratio=None):
    """A random part of the edited mesh selected."""
    ratio = round(rng.uniform(0.15, 0.6), 2) if ratio is None else ratio
    args["ratio"] = ratio
    _op("mesh.select_all", action='DESELECT')
    _op("mesh.select_random", ratio=ratio, seed=rng.randint(0, 999), action='SELECT')


def _vector(rng, size=1.5):
    return [round(rng.uniform(-size, size), 3) for _ in range(3)]


def _transform_target(rng, args):
    """What a transform acts on: part of the edited mesh, the edited curve's
    points, or one or two objects."""
    if _edited(args):
        _select_some(rng, args)
        return
    if bpy.context.mode == 'EDIT_CURVE':
        args["edit"] = bpy.context.object.name
        _op("curve.select_all", action='SELECT')
        return
    _select_objects(rng, args)


def _select_objects(rng, args):
    """Object mode, with one or two objects picked and selected."""
    _object_mode(args)
    obs = _pick(rng, count=rng.choice((1, 1, 2)))
    obs = obs if isinstance(obs, list) else [obs]
    _select(obs)
    args["objects"] = [o.name for o in obs]


def _vertices(ob):
    data = ob.data
    return len(data.vertices) if isinstance(data, bpy.types.Mesh) else 0


# -- edits --------------------------------------------------------------------

def translate(rng, args):
    _transform_target(rng, args)
    args["value"] = _vector(rng)
    _op("transform.translate", value=args["value"])


def rotate(rng, args):
    _transform_target(rng, args)
    args["axis"] = rng.choice("XYZ")
    args["angle"] = round(rng.uniform(-1.5, 1.5), 3)
    _op("transform.rotate", value=args["angle"], orient_axis=args["axis"])


def resize(rng, args):
    _transform_target(rng, args)
    s = round(rng.uniform(0.7, 1.4), 3)
    args["value"] = [s, s, s] if rng.random() < 0.5 else [s, 1.0, 1.0]
    _op("transform.resize", value=args["value"])


def data_transform(rng, args):
    """ob.location / rotation_euler / scale through the data API, and an undo step."""
    ob = _pick(rng, visible=False)
    args["object"] = ob.name
    what = args["what"] = rng.choice(("location", "rotation_euler", "scale"))
    axis = args["axis"] = rng.randrange(3)
    if what == "scale":
        value = args["value"] = round(rng.uniform(0.6, 1.5), 3)
        ob.scale[axis] *= value
    else:
        value = args["value"] = round(rng.uniform(-2.0, 2.0), 3)
        getattr(ob, what)[axis] += value
    _push("Move %s" % ob.name)


def add_primitive(rng, args):
    kind = args["kind"] = rng.choice(("cube", "uv_sphere", "ico_sphere", "cylinder", "cone",
                                      "torus", "monkey", "plane", "bezier_circle", "text"))
    location = args["location"] = _vector(rng, 6.0)
    if kind in ("bezier_circle", "text"):
        _object_mode(args)
        if kind == "text":
            _op("object.text_add", location=location)
        else:
            _op("curve.primitive_bezier_circle_add", location=location)
            bpy.context.object.data.bevel_depth = 0.1      # faces to export
        return
    if not _edited(args):
        _object_mode(args)
    props = {"location": location}
    if kind == "uv_sphere":
        props.update(segments=16, ring_count=8)
    elif kind == "cylinder":
        props.update(vertices=16)
    elif kind == "torus":
        props.update(major_segments=24, minor_segments=8)
    _op("mesh.primitive_%s_add" % kind, **props)


def delete(rng, args):
    if _edited(args):
        _select_some(rng, args, ratio=round(rng.uniform(0.05, 0.3), 2))
        args["type"] = rng.choice(('VERT', 'FACE', 'EDGE'))
        _op("mesh.delete", type=args["type"])
        return
    _object_mode(args)
    ob = _pick(rng)
    args["object"] = ob.name
    if rng.random() < 0.6:
        _select([ob])
        _op("object.delete", use_global=False)
    else:
        args["api"] = True
        bpy.data.objects.remove(ob, do_unlink=True)
        _push("Delete")


def _duplicate(rng, args, linked):
    value = args["value"] = _vector(rng, 3.0)
    if _edited(args):
        _select_some(rng, args)
        _op("mesh.duplicate_move", TRANSFORM_OT_translate={"value": value})
        return
    _select_objects(rng, args)
    _op("object.duplicate_move_linked" if linked else "object.duplicate_move",
        OBJECT_OT_duplicate={"linked": linked}, TRANSFORM_OT_translate={"value": value})


def duplicate(rng, args):
    _duplicate(rng, args, False)


def duplicate_linked(rng, args):
    _duplicate(rng, args, True)


def join(rng, args):
    _object_mode(args)
    obs = _pick(rng, ('MESH',), count=rng.choice((2, 2, 3)))
    if sum(_vertices(o) for o in obs) > HEAVY:
        raise Refused("too heavy to join")
    _select(obs, active=obs[0])
    args["objects"] = [o.name for o in obs]
    _op("object.join")


def separate(rng, args):
    """In edit mode (entered first when needed): a part of the mesh split off."""
    if not _edited(args):
        _enter(rng, args, 'EDIT')
    _select_some(rng, args)
    args["type"] = rng.choice(('SELECTED', 'SELECTED', 'LOOSE', 'MATERIAL'))
    _op("mesh.separate", type=args["type"])


def rename(rng, args):
    ob = _pick(rng, visible=False)
    new = "%s%d" % (rng.choice(NAMES), rng.randint(0, 99))
    args.update(object=ob.name, name=new)
    ob.name = new
    if ob.data is not None and rng.random() < 0.3:
        args["data"] = True
        ob.data.name = new
    _push("Rename")


def material(rng, args):
    ob = _edited(args)
    if ob is not None and len(ob.material_slots) > 1:
        # Faces given another of the object's materials, as the Assign button does.
        _select_some(rng, args)
        ob.active_material_index = args["slot"] = rng.randrange(len(ob.material_slots))
        _op("object.material_slot_assign")
        return
    ob = _pick(rng, ('MESH', 'CURVE', 'FONT'), visible=False)
    args["object"] = ob.name
    if rng.random() < 0.4 or not bpy.data.materials:
        mat = bpy.data.materials.new("Mat%d" % rng.randint(0, 99))
        mat.diffuse_color = (rng.random(), rng.random(), rng.random(), 1.0)
    else:
        mat = rng.choice(sorted(bpy.data.materials, key=lambda m: m.name))
    args["material"] = mat.name
    slots = ob.data.materials
    if len(slots) < 3 and rng.random() < 0.5:
        slots.append(mat)
    elif len(slots):
        k = args["slot"] = rng.randrange(len(slots))
        slots[k] = mat
    else:
        ob.active_material = mat
    _push("Material")


def _with_modifiers(rng, args, count=1):
    """The edited mesh, or a visible mesh with at least ``count`` modifiers."""
    ob = _edited(args)
    if ob is None:
        found = [o for o in _objects(('MESH',), visible=True) if len(o.modifiers) >= count]
        if not found:
            raise Refused("no visible mesh with %d modifiers" % count)
        ob = rng.choice(found)
    mods = list(ob.modifiers)
    if len(mods) < count:
        raise Refused("%s has fewer than %d modifiers" % (ob.name, count))
    if bpy.context.mode == 'OBJECT':
        _select([ob])
    args["object"] = ob.name
    return ob, mods


def modifier_add(rng, args):
    ob = _edited(args)
    if ob is None:
        _object_mode(args)
        ob = _pick(rng, ('MESH',))
        _select([ob])
    kind = args["type"] = rng.choice(MODIFIERS)
    args["object"] = ob.name
    if len(ob.modifiers) >= 4 or _vertices(ob) > HEAVY:
        raise Refused("enough modifiers on %s" % ob.name)
    if kind in ('SUBSURF', 'MULTIRES', 'ARRAY') and \
            sum(m.type in ('SUBSURF', 'MULTIRES') for m in ob.modifiers) + (_vertices(ob) > 3000) >= 2:
        raise Refused("enough subdivision on %s" % ob.name)
    _op("object.modifier_add", type=kind)
    mod = ob.modifiers[-1]
    if kind == 'MULTIRES' and _vertices(ob) < 3000:
        _op("object.multires_subdivide", modifier=mod.name, mode='CATMULL_CLARK')


def modifier_remove(rng, args):
    ob, mods = _with_modifiers(rng, args)
    args["modifier"] = rng.choice(mods).name
    _op("object.modifier_remove", modifier=args["modifier"])


def modifier_move(rng, args):
    ob, mods = _with_modifiers(rng, args, 2)
    args["modifier"] = rng.choice(mods).name
    args["index"] = rng.randrange(len(mods))
    _op("object.modifier_move_to_index", modifier=args["modifier"], index=args["index"])


def modifier_toggle(rng, args):
    ob, mods = _with_modifiers(rng, args)
    mod = rng.choice(mods)
    args["modifier"] = mod.name
    what = args["what"] = rng.choice(("show_viewport", "show_viewport", "show_in_editmode"))
    setattr(mod, what, not getattr(mod, what))
    _push("Toggle modifier")


def modifier_apply(rng, args):
    _object_mode(args)
    ob, mods = _with_modifiers(rng, args)
    mod = rng.choice(mods)
    args["modifier"] = mod.name
    if mod.type in ('SUBSURF', 'MULTIRES', 'ARRAY') and _vertices(ob) > 3000:
        raise Refused("too heavy to apply")
    _op("object.modifier_apply", modifier=mod.name)


def edit_enter(rng, args):
    _enter(rng, args, 'EDIT', ('MESH', 'CURVE', 'FONT'),
           prefer=lambda o: o.type == 'MESH' and o.data.users > 1)


def edit_leave(rng, args):
    if bpy.context.mode == 'OBJECT':
        raise Refused("already in object mode")
    args["left"] = bpy.context.mode
    _op("object.mode_set", mode='OBJECT')


def edit_mesh(rng, args):
    """Edit mode (entered first when needed) and one edit of the mesh in it."""
    ob = _edited(args)
    if ob is None:
        ob = _enter(rng, args, 'EDIT', prefer=lambda o: o.data.users > 1)
    what = args["what"] = rng.choice(("move", "move", "extrude", "subdivide", "rotate", "all"))
    if what == "all":
        _op("mesh.select_all", action='SELECT')
        args["value"] = _vector(rng, 0.5)
        _op("transform.translate", value=args["value"])
        return
    _select_some(rng, args)
    if what == "move":
        args["value"] = _vector(rng, 0.5)
        _op("transform.translate", value=args["value"])
    elif what == "rotate":
        args["angle"] = round(rng.uniform(-1, 1), 3)
        _op("transform.rotate", value=args["angle"], orient_axis='Z')
    elif what == "extrude":
        args["value"] = _vector(rng, 0.5)
        _op("mesh.extrude_region_move", TRANSFORM_OT_translate={"value": args["value"]})
    else:
        if _vertices(ob) > 3000:
            raise Refused("too heavy to subdivide")
        _op("mesh.subdivide", number_cuts=1)


def sculpt(rng, args):
    """Sculpt mode on a mesh (a Multires one half the time), and a stroke
    through the middle of the view, which is framed on it first."""
    if bpy.context.mode == 'SCULPT':
        ob = bpy.context.object
        args["object"] = ob.name
    else:
        _object_mode(args)
        candidates = _objects(('MESH',), visible=True)
        multires = [o for o in candidates if any(m.type == 'MULTIRES' for m in o.modifiers)]
        if multires and rng.random() < 0.5:
            candidates = multires
        if not candidates:
            raise Refused("no visible mesh")
        ob = rng.choice(candidates)
        _select([ob])
        args["object"] = ob.name
        _op("view3d.view_selected")
        _op("object.mode_set", mode='SCULPT')
    if rng.random() < 0.3:
        args["stroke"] = False
        return
    region = region_of(areas('VIEW_3D')[0])
    x, y = region.width // 2, region.height // 2
    dx = rng.choice((-1, 1)) * 12
    points = []
    for i in range(8):
        points.append({"name": "", "location": (0.0, 0.0, 0.0), "mouse": (x + dx * i, y),
                       "mouse_event": (x + dx * i, y), "pressure": 1.0, "size": 60.0,
                       "pen_flip": False, "time": 0.02 * i, "is_start": i == 0,
                       "x_tilt": 0.0, "y_tilt": 0.0})
    try:
        _op("sculpt.brush_stroke", stroke=points, mode='NORMAL')
        args["stroke"] = True
    except (Refused, RuntimeError) as exc:
        # Debian's 4.3 ships no brushes (Blender's essentials assets): sculpt
        # mode without a stroke there.
        args["stroke"] = "refused: %s" % str(exc).strip().splitlines()[0]


def undo(rng, args):
    _op("ed.undo")


def undo_many(rng, args):
    _steps("ed.undo", rng, args, 4)


def redo(rng, args):
    _op("ed.redo")


def redo_many(rng, args):
    _steps("ed.redo", rng, args, 3)


def _steps(op, rng, args, most):
    """``op`` two to ``most`` times in a row; ``args`` say how many were done."""
    steps = args["steps"] = rng.randint(2, most)
    for done in range(steps):
        args["done"] = done
        _op(op)
    args["done"] = steps


def frame(rng, args):
    scene = bpy.context.scene
    how = args["how"] = rng.choice(("set", "set", "offset", "jump"))
    if how == "set":
        args["frame"] = rng.randint(scene.frame_start, scene.frame_end)
        scene.frame_set(args["frame"])
    elif how == "offset":
        args["delta"] = rng.choice((-5, -1, 1, 3, 10))
        _op("screen.frame_offset", delta=args["delta"])
    else:
        args["end"] = rng.random() < 0.5
        _op("screen.frame_jump", end=args["end"])


def hide(rng, args):
    how = args["how"] = rng.choice(("op", "op", "clear", "api", "viewport"))
    if how in ("op", "clear"):
        _object_mode(args)
        if how == "clear":
            _op("object.hide_view_clear", select=False)
            return
        ob = _pick(rng)
        _select([ob])
        args["object"] = ob.name
        _op("object.hide_view_set", unselected=False)
        return
    ob = _pick(rng, visible=False)
    args["object"] = ob.name
    if how == "api":
        args["hidden"] = not ob.hide_get()
        ob.hide_set(args["hidden"])
    else:
        args["hidden"] = ob.hide_viewport = not ob.hide_viewport
    _push("Hide")


def _layer_collections(layer_collection=None):
    top = layer_collection or bpy.context.view_layer.layer_collection
    found = []
    for child in top.children:
        found.append(child)
        found += _layer_collections(child)
    return found


def collection_toggle(rng, args):
    found = _layer_collections()
    if not found:
        raise Refused("no collection")
    layer = rng.choice(found)
    args["collection"] = layer.name
    how = args["how"] = rng.choice(("eye", "eye", "monitor", "exclude"))
    if how == "eye":
        layer.hide_viewport = not layer.hide_viewport
    elif how == "monitor":
        layer.collection.hide_viewport = not layer.collection.hide_viewport
    else:
        layer.exclude = not layer.exclude
    _push("Collection visibility")


def collection_move(rng, args):
    _object_mode(args)
    ob = _pick(rng, visible=False)
    targets = [bpy.context.scene.collection] + [lc.collection for lc in _layer_collections()]
    target = rng.choice(targets)
    args.update(object=ob.name, collection=target.name)
    if target in ob.users_collection:
        raise Refused("already there")
    target.objects.link(ob)
    for c in list(ob.users_collection):
        if c != target:
            c.objects.unlink(ob)
    _push("Move to collection")


def collection_new(rng, args):
    _object_mode(args)
    ob = _pick(rng)
    _select([ob])
    name = "Coll%d" % rng.randint(0, 99)
    args.update(object=ob.name, name=name)
    if rng.random() < 0.5:
        _op("object.move_to_collection", collection_index=0, is_new=True,
            new_collection_name=name)
    else:
        args["api"] = True
        parent = rng.choice([bpy.context.scene.collection] +
                            [lc.collection for lc in _layer_collections()])
        new = bpy.data.collections.new(name)
        parent.children.link(new)
        new.objects.link(ob)
        _push("New collection")


def curve_convert(rng, args):
    _object_mode(args)
    ob = _pick(rng, ('CURVE', 'FONT'))
    _select([ob])
    args["object"] = ob.name
    _op("object.convert", target='MESH')


def parent(rng, args):
    _object_mode(args)
    how = args["how"] = rng.choice(("op", "api", "clear"))
    if how == "clear":
        ob = _pick(rng, visible=False)
        args["object"] = ob.name
        if ob.parent is None:
            raise Refused("no parent")
        _select([ob])
        _op("object.parent_clear", type='CLEAR_KEEP_TRANSFORM')
        return
    child, new = _pick(rng, count=2)
    args.update(object=child.name, parent=new.name)
    up = new
    while up is not None:
        if up == child:
            raise Refused("a loop of parents")
        up = up.parent
    if how == "op":
        _select([child, new], active=new)
        _op("object.parent_set", type='OBJECT', keep_transform=True)
    else:
        child.parent = new
        child.matrix_parent_inverse = new.matrix_world.inverted()
        _push("Parent")


def revert(rng, args):
    _op("wm.revert_mainfile")


def save(rng, args):
    _op("wm.save_mainfile")


EDITS = {f.__name__: f for f in (
    translate, rotate, resize, data_transform, add_primitive, delete, duplicate,
    duplicate_linked, join, separate, rename, material, modifier_add, modifier_remove,
    modifier_move, modifier_toggle, modifier_apply, edit_enter, edit_leave, edit_mesh, sculpt,
    undo, undo_many, redo, redo_many, frame, hide, collection_toggle, collection_move,
    collection_new, curve_convert, parent, revert, save)}


def run_edit(kind, seed):
    """One edit: {"outcome": "ok" | "refused" | "error", "args", "reason", "mode", "seconds"}."""
    args = {}
    start = time.perf_counter()
    try:
        EDITS[kind](random.Random(seed), args)
        outcome, reason = "ok", None
    except Refused as exc:
        outcome, reason = "refused", str(exc)
    except RuntimeError as exc:         # a poll failure or the operator's own error report
        outcome, reason = "refused", str(exc).strip().splitlines()[0]
    except Exception:
        outcome, reason = "error", traceback.format_exc()
    return {"outcome": outcome, "args": args, "reason": reason, "mode": bpy.context.mode,
            "seconds": round(time.perf_counter() - start, 4)}
