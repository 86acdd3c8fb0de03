package jvmtest;

import java.net.URLClassLoader;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.UnaryOperator;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.RetransformException;
import qv.vantrel.quorvane.RetransformException.Failure;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Retransformation of classes already loaded: classes loaded before initNative get rewritten,
 * filter edits are undone on loaded classes, refusals are reported class by class, and the
 * calls' own errors, and calls made by a transformer. The argument picks the part: errors,
 * loaded-before-init, undo, refused, nested, own-classes, own-transformer, undo-shape.
 */
public final class RetransformLoadedCase {
    private static final String UNMODIFIABLE = "JVMTI_ERROR_UNMODIFIABLE_CLASS";
    private static final String METHOD_ADDED = "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED";

    private RetransformLoadedCase() {
    }

    public static void main(String[] args) {
        Check.run("retransform", args, a -> {
            switch (a[0]) {
                case "errors" -> errors();
                case "loaded-before-init" -> loadedBeforeInit();
                case "undo" -> undo();
                case "refused" -> refused();
                case "nested" -> nested();
                case "own-classes" -> ownClasses();
                case "own-transformer" -> ownTransformer();
                case "undo-shape" -> undoShape();
                default -> throw new IllegalArgumentException("unknown part " + a[0]);
            }
        });
    }

    /** Before initNative, null arguments, and classes the VM cannot modify. */
    private static void errors() throws Exception {
        Recorder recorder = Recorder.rewriting();
        Remap.setTransformer(recorder);
        Check.that(Quorvane.addInclude("fixture/"), "addInclude returned false");
        URLClassLoader loader = Fixtures.loader();
        Class<?> greeter = Fixtures.load("fixture.Greeter", loader);

        Check.raises(IllegalStateException.class, () -> Quorvane.retransform(greeter), "retransform before initNative");
        Check.raises(IllegalStateException.class, () -> Quorvane.retransform(), "retransform() before initNative");
        Check.raises(IllegalStateException.class, Quorvane::retransformLoaded, "retransformLoaded before initNative");
        Check.equal(0, recorder.calls("fixture/Greeter"), "transformer calls before initNative");

        Check.that(Quorvane.initNative(), "initNative returned false");
        Check.raises(NullPointerException.class, () -> Quorvane.retransform((Class<?>[]) null), "a null array");
        Check.raises(NullPointerException.class, () -> Quorvane.retransform(greeter, null), "a null element");
        Check.equal(0, recorder.calls("fixture/Greeter"), "transformer calls after the null arguments");
        Check.equal(ClassFiles.ORIGINAL, Fixtures.get(greeter), "Greeter after the null arguments");
        AgentLog.none(AgentLog.file(), "Retransform");

        // Refused without asking the VM to try, and without stopping the class it can modify,
        // given twice here and retransformed once.
        Runnable lambda = () -> { };
        Class<?> hidden = lambda.getClass();
        Check.that(hidden.isHidden(), "a lambda's class is not hidden");
        RetransformException refused = Check.raises(RetransformException.class,
                () -> Quorvane.retransform(int.class, String[].class, hidden, greeter, greeter), "unmodifiable classes");
        Check.equal(List.of(new Failure(int.class, UNMODIFIABLE), new Failure(String[].class, UNMODIFIABLE),
                new Failure(hidden, UNMODIFIABLE)), refused.failures(), "failures");
        Check.equal(1, refused.retransformed(), "classes retransformed beside the refused ones");
        Check.equal("3 of 4 classes could not be retransformed: int (" + UNMODIFIABLE + "), [Ljava.lang.String; ("
                + UNMODIFIABLE + "), " + hidden.getName() + " (" + UNMODIFIABLE + ")", refused.getMessage(), "message");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter beside the refused classes");
        Check.equal(1, recorder.calls("fixture/Greeter"), "transformer calls for Greeter");

        List<AgentLog.Line> log = AgentLog.checkedFile("info", "error");
        AgentLog.once(log, "info", "[Quorvane] Retransforming 4 classes");
        AgentLog.once(log, "info", "[Quorvane] Retransformed 1 classes, 3 failed");
        AgentLog.once(log, "error", "[Quorvane] Could not retransform I: " + UNMODIFIABLE);
        AgentLog.once(log, "error", "[Quorvane] Could not retransform [Ljava/lang/String;: " + UNMODIFIABLE);
        AgentLog.once(log, "error", "[Quorvane] Could not retransform " + hiddenName(hidden) + ": " + UNMODIFIABLE);
    }

    /**
     * Classes loaded and used before initNative: retransform rewrites the one it is given, never on
     * top of an earlier rewrite; retransformLoaded takes every selected class in every loader.
     */
    private static void loadedBeforeInit() throws Exception {
        Recorder recorder = Recorder.rewriting();
        Remap.setTransformer(recorder);
        Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
        URLClassLoader first = Fixtures.loader();
        URLClassLoader second = Fixtures.loader();
        Class<?> greeter = Fixtures.load("fixture.Greeter", first);
        Class<?> factory = Fixtures.load("fixture.GreeterFactory", first);
        Class<?> otherGreeter = Fixtures.load("fixture.Greeter", second);
        Class<?> part = Fixtures.load("fixture.Greeter$Part", second);
        for (Class<?> type : List.of(greeter, factory, otherGreeter, part)) {
            Check.equal(ClassFiles.ORIGINAL, Fixtures.get(type), type + " before initNative");
        }
        Check.that(Quorvane.initNative(), "initNative returned false");

        Check.equal(1, Quorvane.retransform(greeter), "retransform(Greeter)");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter after retransform");
        Check.equal(ClassFiles.ORIGINAL, Fixtures.get(otherGreeter), "Greeter of the other loader");
        Check.equal(1, Quorvane.retransform(greeter), "retransform(Greeter) again");
        List<byte[]> handed = recorder.received("fixture/Greeter");
        Check.equal(2, handed.size(), "transformer calls for Greeter");
        Check.that(ClassFiles.rewrite(handed.get(0)) != null, "the transformer was not handed the original code");
        Check.that(Arrays.equals(handed.get(0), handed.get(1)),
                "the second retransformation was not handed the class file the first one was");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter after the second retransform");

        Check.equal(3, Quorvane.retransformLoaded(), "retransformLoaded(): both Greeters and Greeter$Part");
        for (Class<?> type : List.of(greeter, otherGreeter, part)) {
            Check.equal(ClassFiles.REWRITTEN, Fixtures.get(type), type + " after retransformLoaded");
        }
        Check.equal(ClassFiles.ORIGINAL, Fixtures.get(factory), "GreeterFactory, which the filters pass over");
        Check.equal(Set.of("fixture/Greeter", "fixture/Greeter$Part"), recorder.seen(), "classes handed over");

        List<AgentLog.Line> log = AgentLog.checkedFile("info");
        Check.equal(2L, AgentLog.count(log, "info", "[Quorvane] Retransforming 1 classes"), "lines for one class");
        AgentLog.once(log, "info", "[Quorvane] Retransforming 3 classes");
        AgentLog.once(log, "info", "[Quorvane] Retransformed 3 classes, 0 failed");
        Check.equal(4L, AgentLog.countContaining(log, "[Quorvane] Remapped: fixture/Greeter ("), "Greeter remapped lines");
        AgentLog.none(log, "GreeterFactory");
    }

    /** A class rewritten as it loaded gets its original code back when the filters no longer select it. */
    private static void undo() throws Exception {
        Recorder recorder = Recorder.rewriting();
        Remap.setTransformer(recorder);
        Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
        Check.that(Quorvane.initNative(), "initNative returned false");
        Class<?> greeter = Fixtures.load("fixture.Greeter", Fixtures.loader());
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter as loaded");
        byte[] original = Fixtures.classFile("fixture/Greeter");

        record Step(String what, Runnable edit, String result) {
        }
        List<Step> steps = List.of(
                new Step("removeInclude", () -> Quorvane.removeInclude("fixture/Greeter"), ClassFiles.ORIGINAL),
                new Step("addInclude", () -> Quorvane.addInclude("fixture/Greeter"), ClassFiles.REWRITTEN),
                new Step("addExclude", () -> Quorvane.addExclude("fixture/Greeter"), ClassFiles.ORIGINAL),
                new Step("removeExclude", () -> Quorvane.removeExclude("fixture/Greeter"), ClassFiles.REWRITTEN),
                new Step("a transformer that returns null", () -> Remap.setTransformer((name, bytes) -> null),
                        ClassFiles.ORIGINAL));
        for (Step step : steps) {
            int callsBefore = recorder.calls("fixture/Greeter");
            step.edit().run();
            Check.equal(1, Quorvane.retransformLoaded(), step.what() + ", then retransformLoaded()");
            Check.equal(step.result(), Fixtures.get(greeter), "Greeter after " + step.what());
            if (recorder.calls("fixture/Greeter") > callsBefore) {
                List<byte[]> handed = recorder.received("fixture/Greeter");
                Check.that(Arrays.equals(original, handed.get(handed.size() - 1)),
                        "after %s the transformer was not handed the class file as the jar holds it", step.what());
            }
        }
        Check.equal(3, recorder.calls("fixture/Greeter"), "transformer calls: the load and two retransformations");

        List<AgentLog.Line> log = AgentLog.checkedFile("info", "trace", "warning");
        Check.equal(5L, AgentLog.count(log, "info", "[Quorvane] Retransformed 1 classes, 0 failed"), "retransformations");
        Check.equal(2L, AgentLog.count(log, "trace", "[Quorvane] Skipped by filter: fixture/Greeter"), "skipped lines");
        AgentLog.once(log, "warning", "[Quorvane] Remap returned null/exception for: fixture/Greeter");
    }

    /**
     * The VM refuses a class whose new class file adds a method or is no class file at all; the
     * other classes of the same call are still retransformed.
     */
    private static void refused() throws Exception {
        Recorder recorder = Recorder.rewriting();
        byte[] notAClass = "not a class file".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        UnaryOperator<byte[]> addMethod = bytes -> ClassFiles.addMethod(bytes, "qvAdded");
        Remap.setTransformer((name, bytes) -> switch (name) {
            case "fixture/Greeter" -> addMethod.apply(bytes);
            case "fixture/Greeter$Part" -> notAClass;
            default -> recorder.transform(name, bytes);
        });
        Check.that(Quorvane.addInclude("fixture/"), "addInclude returned false");
        URLClassLoader loader = Fixtures.loader();
        Class<?> greeter = Fixtures.load("fixture.Greeter", loader);
        Class<?> factory = Fixtures.load("fixture.GreeterFactory", loader);
        Class<?> part = Fixtures.load("fixture.Greeter$Part", loader);
        Check.that(Quorvane.initNative(), "initNative returned false");

        RetransformException refused = Check.raises(RetransformException.class,
                () -> Quorvane.retransform(greeter, factory), "a method added to one of two classes");
        Check.equal(List.of(new Failure(greeter, METHOD_ADDED)), refused.failures(), "failures");
        Check.equal(1, refused.retransformed(), "classes retransformed");
        Check.equal("1 of 2 classes could not be retransformed: fixture.Greeter (" + METHOD_ADDED + ")",
                refused.getMessage(), "message");
        Check.equal(ClassFiles.ORIGINAL, Fixtures.get(greeter), "Greeter, refused");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(factory), "GreeterFactory beside it");
        List<AgentLog.Line> log = AgentLog.checkedFile("info", "error");
        AgentLog.once(log, "error", "[Quorvane] Could not retransform fixture/Greeter: " + METHOD_ADDED);
        AgentLog.once(log, "info", "[Quorvane] Retransforming 2 classes");
        AgentLog.once(log, "info", "[Quorvane] Retransformed 1 classes, 1 failed");

        // More refusals than the message names, through both calls.
        Runnable lambda = () -> { };
        refused = Check.raises(RetransformException.class,
                () -> Quorvane.retransform(part, int.class, greeter, factory, lambda.getClass()), "four refusals");
        Check.equal(Set.of(new Failure(int.class, UNMODIFIABLE), new Failure(lambda.getClass(), UNMODIFIABLE),
                new Failure(part, "JVMTI_ERROR_INVALID_CLASS_FORMAT"), new Failure(greeter, METHOD_ADDED)),
                Set.copyOf(refused.failures()), "failures");
        Check.equal(1, refused.retransformed(), "classes retransformed beside four refusals");
        Check.that(refused.getMessage().startsWith("4 of 5 classes could not be retransformed: ")
                && refused.getMessage().endsWith(", and 1 more")
                && refused.getMessage().chars().filter(c -> c == '(').count() == 3,
                "message does not name the first three refusals: %s", refused.getMessage());

        refused = Check.raises(RetransformException.class, Quorvane::retransformLoaded, "retransformLoaded");
        Check.equal(Set.of(new Failure(part, "JVMTI_ERROR_INVALID_CLASS_FORMAT"), new Failure(greeter, METHOD_ADDED)),
                Set.copyOf(refused.failures()), "failures of retransformLoaded");
        Check.equal(1, refused.retransformed(), "classes retransformLoaded retransformed");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(factory), "GreeterFactory after retransformLoaded");
        Check.equal(ClassFiles.ORIGINAL, Fixtures.get(part), "Greeter$Part, refused");
    }

    /**
     * A transformer that retransforms another class itself: while a class loads, while another
     * class is retransformed, and for a class of the same call, which is being retransformed.
     */
    private static void nested() throws Exception {
        Recorder recorder = Recorder.rewriting();
        AtomicReference<Class<?>> next = new AtomicReference<>();
        List<Integer> nestedResults = new CopyOnWriteArrayList<>();
        Remap.setTransformer((name, bytes) -> {
            Class<?> other = next.getAndSet(null);
            if (other != null) {
                nestedResults.add(Quorvane.retransform(other));
            }
            return recorder.transform(name, bytes);
        });
        Check.that(Quorvane.addInclude("fixture/"), "addInclude returned false");
        URLClassLoader loader = Fixtures.loader();
        Class<?> part = Fixtures.load("fixture.Greeter$Part", loader);
        Class<?> factory = Fixtures.load("fixture.GreeterFactory", loader);
        Check.that(Quorvane.initNative(), "initNative returned false");

        next.set(part);
        Class<?> greeter = Fixtures.load("fixture.Greeter", loader);
        Check.equal(List.of(1), nestedResults, "retransform(Greeter$Part) while Greeter loads");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(part), "Greeter$Part, retransformed while Greeter loads");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter, loaded meanwhile");

        next.set(factory);
        Check.equal(1, Quorvane.retransform(greeter), "retransform(Greeter) around retransform(GreeterFactory)");
        next.set(part);
        Check.equal(2, Quorvane.retransform(greeter, part), "retransform(Greeter, Greeter$Part) around Greeter$Part");
        Check.equal(List.of(1, 1, 1), nestedResults, "nested retransform results");
        for (Class<?> type : List.of(greeter, part, factory)) {
            Check.equal(ClassFiles.REWRITTEN, Fixtures.get(type), type + " at the end");
        }
        Check.equal(1, recorder.calls("fixture/GreeterFactory"), "transformer calls for GreeterFactory");
        AgentLog.checkedFile("info");
    }

    /**
     * The library's own classes, which are never handed to a transformer, whichever loader
     * defined them: retransform leaves them out and counts only what it offered.
     */
    private static void ownClasses() throws Exception {
        Recorder recorder = Recorder.rewriting();
        Remap.setTransformer(recorder);
        Check.that(Quorvane.addInclude("fixture/"), "addInclude returned false");
        Check.that(Quorvane.addInclude("qv/"), "addInclude returned false");
        URLClassLoader loader = Fixtures.loader();
        Class<?> greeter = Fixtures.load("fixture.Greeter", loader);
        Class<?> inside = Fixtures.load("qv.vantrel.quorvane.fixture.Inside", loader);
        Check.that(Quorvane.initNative(), "initNative returned false");

        record Row(String what, List<Class<?>> classes, int retransformed) {
        }
        List<Row> rows = List.of(
                new Row("Quorvane itself", List.of(Quorvane.class), 0),
                new Row("the Java side's classes", List.of(Remap.class, RetransformException.class, Failure.class), 0),
                new Row("a class of the package from another loader", List.of(inside), 0),
                new Row("beside a class of the application", List.of(Quorvane.class, greeter, inside), 1));
        for (Row row : rows) {
            int logged = AgentLog.file().size();
            Check.equal(row.retransformed(), Quorvane.retransform(row.classes().toArray(new Class<?>[0])), row.what());
            List<AgentLog.Line> lines = AgentLog.file();
            lines = lines.subList(logged, lines.size());
            AgentLog.once(lines, "info", "[Quorvane] Retransforming " + row.retransformed() + " classes");
            AgentLog.once(lines, "info", "[Quorvane] Retransformed " + row.retransformed() + " classes, 0 failed");
        }
        Check.equal(Set.of("fixture/Greeter"), recorder.seen(), "classes handed to the transformer");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter");
        Check.equal(ClassFiles.ORIGINAL, Fixtures.get(inside), "Inside");
    }

    /**
     * A transformer that retransforms the very class it is transforming: the inner
     * retransformation leaves the class file unchanged, and its line says so without claiming
     * that the class loads.
     */
    private static void ownTransformer() throws Exception {
        Recorder recorder = Recorder.rewriting();
        AtomicReference<Class<?>> again = new AtomicReference<>();
        List<Integer> innerResults = new CopyOnWriteArrayList<>();
        Remap.setTransformer((name, bytes) -> {
            Class<?> self = again.getAndSet(null);
            if (self != null) {
                innerResults.add(Quorvane.retransform(self));
            }
            return recorder.transform(name, bytes);
        });
        Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
        Class<?> greeter = Fixtures.load("fixture.Greeter", Fixtures.loader());
        Check.that(Quorvane.initNative(), "initNative returned false");

        again.set(greeter);
        Check.equal(1, Quorvane.retransform(greeter), "retransform(Greeter) around retransform(Greeter)");
        Check.equal(List.of(1), innerResults, "the inner retransform(Greeter)");
        Check.equal(1, recorder.calls("fixture/Greeter"), "transformer calls for Greeter");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter at the end");

        List<AgentLog.Line> log = AgentLog.checkedFile("info", "warning");
        AgentLog.once(log, "warning", "[Quorvane] Already being remapped on this thread, left unchanged: fixture/Greeter");
        AgentLog.none(log, "loaded unchanged");
    }

    /**
     * A rewrite that added a method cannot be undone by retransformation: the original class
     * file lacks the method, the VM refuses it, and the class keeps the rewrite.
     */
    private static void undoShape() throws Exception {
        Remap.setTransformer((name, bytes) -> ClassFiles.addMethod(ClassFiles.rewrite(bytes), "qvAdded"));
        Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
        Check.that(Quorvane.initNative(), "initNative returned false");
        Class<?> greeter = Fixtures.load("fixture.Greeter", Fixtures.loader());
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter as loaded");
        Check.that(greeter.getDeclaredMethod("qvAdded") != null, "Greeter loaded without the added method");

        Check.that(Quorvane.removeInclude("fixture/Greeter"), "removeInclude returned false");
        RetransformException refused = Check.raises(RetransformException.class, Quorvane::retransformLoaded,
                "undoing a rewrite that added a method");
        Check.equal(List.of(new Failure(greeter, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED")),
                refused.failures(), "failures");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.get(greeter), "Greeter after the refused undo");
        Check.that(greeter.getDeclaredMethod("qvAdded") != null, "Greeter lost the added method");
    }

    /** How the VM names a hidden class (a.b.C$$Lambda/0x1): a '.' before the suffix (a/b/C$$Lambda.0x1). */
    private static String hiddenName(Class<?> hidden) {
        String name = hidden.getName();
        int suffix = name.lastIndexOf('/');
        return name.substring(0, suffix).replace('.', '/') + '.' + name.substring(suffix + 1);
    }
}
