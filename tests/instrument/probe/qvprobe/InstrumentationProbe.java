package qvprobe;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.invoke.MethodHandles;
import java.net.URL;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.CodeSource;
import java.security.ProtectionDomain;
import java.security.cert.Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import java.util.function.Supplier;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.jar.JarOutputStream;
import java.util.zip.CRC32;

/**
 * One program, two Instrumentations: run once with the JDK's own (from the tests'
 * -javaagent) and once with Quorvane's, it calls every method of the interface on classes
 * it makes itself and writes a transcript of what came back (results, exception types)
 * and of every call each transformer got (name, module, loader, class being redefined,
 * protection domain, input bytes). The two transcripts must be equal.
 *
 * <p>Usage: {@code InstrumentationProbe agent|quorvane <transcript file>}
 */
public final class InstrumentationProbe {
    private static final String[] TRACKED = {"java/lang/Integer", "java/sql/Time"};

    private static Instrumentation inst;
    private static boolean quorvane;
    private static PrintWriter out;
    private static final List<String> calls = Collections.synchronizedList(new ArrayList<>());
    private static final List<String> problems = new ArrayList<>();

    private InstrumentationProbe() {
    }

    /** Defines the probe's generated classes, each with a protection domain of its own location. */
    static final class ProbeLoader extends ClassLoader {
        private final Map<String, byte[]> classes = new HashMap<>();
        private final ProtectionDomain domain;

        ProbeLoader(String location) throws IOException {
            super(ClassLoader.getSystemClassLoader());
            domain = new ProtectionDomain(new CodeSource(new URL("file:/qvfix/" + location), (Certificate[]) null), null);
        }

        ProbeLoader with(ClassBytes bytes, String internalName) {
            classes.put(internalName.replace('/', '.'), bytes.bytes());
            return this;
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            byte[] b = classes.get(name);
            if (b == null) {
                throw new ClassNotFoundException(name);
            }
            return defineClass(name, b, 0, b.length, domain);
        }

        Class<?> defineUnnamed(byte[] b) {
            return defineClass(null, b, 0, b.length, domain);
        }
    }

    /** Records its calls for the probe's own classes; what it returns is up to its action. */
    static final class Recorder implements ClassFileTransformer {
        interface Action {
            byte[] apply(String name, byte[] bytes) throws Exception;
        }

        final String label;
        final Action action;

        Recorder(String label, Action action) {
            this.label = label;
            this.action = action;
        }

        @Override
        public byte[] transform(Module module, ClassLoader loader, String name, Class<?> redefined,
                ProtectionDomain domain, byte[] bytes) {
            if (!interesting(name, loader)) {
                return null;
            }
            calls.add(label + ": " + name + " module=" + moduleName(module) + " loader=" + loaderName(loader)
                    + " redefined=" + (redefined == null ? "null" : redefined.getName()) + " pd=" + domainName(domain)
                    + " bytes=" + digest(bytes));
            try {
                return action.apply(name, bytes);
            } catch (RuntimeException | Error e) {
                throw e;
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        }

        @Override
        public String toString() {
            return label;
        }
    }

    interface Step {
        Object run() throws Throwable;
    }

    public static void main(String[] args) throws Throwable {
        quorvane = args[0].equals("quorvane");
        inst = (Instrumentation) Class.forName(quorvane ? "qv.vantrel.quorvane.Quorvane" : "qvprobe.agent.ProbeAgent")
                .getMethod("instrumentation").invoke(null);
        if (inst == null) {
            throw new IllegalStateException("no Instrumentation in mode " + args[0]);
        }
        ByteArrayOutputStream text = new ByteArrayOutputStream();
        out = new PrintWriter(text, true, StandardCharsets.UTF_8);
        Path work = Paths.get("").toAbsolutePath();

        supports();
        transformerArguments();
        ProbeLoader loader = new ProbeLoader("main");
        Recorder[] kept = loading(loader);
        retransformation(loader);
        redefinition(loader);
        modifiableClasses(loader);
        loadedClasses(loader);
        objectSizes();
        classLoaderSearch(work);
        nativeMethodPrefixes(kept);
        modules(loader);
        removal(kept);

        out.flush();
        Files.write(Paths.get(args[1]), text.toByteArray());
        if (!problems.isEmpty()) {
            problems.forEach(p -> System.err.println("FAIL: " + p));
            System.exit(1);
        }
        System.err.println("probe done in mode " + args[0]);
    }

    // ---- the interface, method by method

    private static void supports() {
        section("supports");
        out.println("isRedefineClassesSupported=" + inst.isRedefineClassesSupported());
        out.println("isRetransformClassesSupported=" + inst.isRetransformClassesSupported());
        out.println("isNativeMethodPrefixSupported=" + inst.isNativeMethodPrefixSupported());
    }

    private static void transformerArguments() {
        section("transformer arguments");
        step("addTransformer(null)", () -> {
            inst.addTransformer(null);
            return null;
        });
        step("addTransformer(null, false)", () -> {
            inst.addTransformer(null, false);
            return null;
        });
        step("addTransformer(null, true)", () -> {
            inst.addTransformer(null, true);
            return null;
        });
        step("removeTransformer(null)", () -> inst.removeTransformer(null));
        step("removeTransformer(never added)", () -> inst.removeTransformer(new Recorder("never", (n, b) -> null)));
    }

    /** Transformers of both kinds, one that throws, one that gives null, chained rewrites. */
    private static Recorder[] loading(ProbeLoader loader) throws Throwable {
        section("loading");
        Recorder plain = new Recorder("A-null", (n, b) -> null);
        Recorder thrower = new Recorder("T-throws", (n, b) -> {
            throw new IllegalStateException("transformer failure on purpose");
        });
        Recorder chained = new Recorder("C-rewrite", (n, b) -> replace(b, "tag-A", "tag-C"));
        Recorder retransformable = new Recorder("B-retransformable", (n, b) -> replace(b, "tag-C", "tag-D"));
        inst.addTransformer(retransformable, true);
        inst.addTransformer(plain);
        inst.addTransformer(thrower, false);
        inst.addTransformer(chained);

        loader.with(tagged("qvfix/Later", "tag-A"), "qvfix/Later");
        step("load qvfix/Later", () -> tag(Class.forName("qvfix.Later", true, loader)));
        step("load java/sql/Time", () -> Class.forName("java.sql.Time").getModule().getName());
        step("define a class without a name", () -> loader.defineUnnamed(tagged("qvfix/Nameless", "tag-A").bytes()).getName());

        // A transformer that loads a class while it runs: which transformers see that one?
        ProbeLoader nesting = new ProbeLoader("nesting").with(tagged("qvfix/Outer", "tag-A"), "qvfix/Outer")
                .with(tagged("qvfix/Inner", "tag-A"), "qvfix/Inner");
        Recorder loadsAnother = new Recorder("R-loads-inner", (n, b) -> {
            if (n.equals("qvfix/Outer")) {
                calls.add("  R loaded " + Class.forName("qvfix.Inner", false, nesting).getName());
            }
            return null;
        });
        inst.addTransformer(loadsAnother);
        step("load qvfix/Outer (its transformer loads qvfix/Inner)", () -> tag(Class.forName("qvfix.Outer", true, nesting)));
        step("removeTransformer(R)", () -> inst.removeTransformer(loadsAnother));
        ProbeLoader nesting2 = new ProbeLoader("nesting2").with(tagged("qvfix/Outer", "tag-A"), "qvfix/Outer")
                .with(tagged("qvfix/Inner", "tag-A"), "qvfix/Inner");
        Recorder retransformableLoader = new Recorder("S-retransformable-loads-inner", (n, b) -> {
            if (n.equals("qvfix/Outer")) {
                calls.add("  S loaded " + Class.forName("qvfix.Inner", false, nesting2).getName());
            }
            return null;
        });
        inst.addTransformer(retransformableLoader, true);
        step("load qvfix/Outer in another loader (a retransformable transformer loads qvfix/Inner)",
                () -> tag(Class.forName("qvfix.Outer", true, nesting2)));
        step("removeTransformer(S)", () -> inst.removeTransformer(retransformableLoader));
        return new Recorder[] {plain, thrower, chained, retransformable};
    }

    private static void retransformation(ProbeLoader loader) throws Throwable {
        section("retransformation");
        Class<?> later = Class.forName("qvfix.Later", false, loader);
        step("retransformClasses(Later)", () -> {
            inst.retransformClasses(later);
            return tag(later);
        });
        step("retransformClasses(Integer)", () -> {
            inst.retransformClasses(Integer.class);
            return null;
        });
        step("retransformClasses()", () -> {
            inst.retransformClasses();
            return null;
        });
        step("retransformClasses((Class[]) null)", () -> {
            inst.retransformClasses((Class<?>[]) null);
            return null;
        });
        step("retransformClasses(Later, null)", () -> {
            inst.retransformClasses(later, null);
            return null;
        });
        step("retransformClasses(int)", () -> {
            inst.retransformClasses(int.class);
            return null;
        }, "int");
        step("retransformClasses(int[])", () -> {
            inst.retransformClasses(int[].class);
            return null;
        }, "[I");
        Runnable lambda = () -> { };
        step("retransformClasses(a lambda's class)", () -> {
            inst.retransformClasses(lambda.getClass());
            return null;
        }, "Lambda");

        ProbeLoader victims = new ProbeLoader("victims").with(tagged("qvfix/Victim", "tag-A"), "qvfix/Victim");
        step("load qvfix/Victim", () -> tag(Class.forName("qvfix.Victim", true, victims)));
        Class<?> victim = Class.forName("qvfix.Victim", false, victims);
        for (String[] bad : new String[][] {{"garbage", "not a class file"}, {"method added", "adds"},
                {"version 99", "v99"}, {"another name", "renamed"}}) {
            Recorder breaker = new Recorder("X-" + bad[0], (n, b) -> breakClass(n, bad[1]));
            inst.addTransformer(breaker, true);
            step("retransformClasses(Victim) with a transformer returning " + bad[0], () -> {
                inst.retransformClasses(victim);
                return tag(victim);
            }, "qvfix/Victim");
            inst.removeTransformer(breaker);
        }
        step("tag of Victim afterwards", () -> tag(victim));
    }

    private static void redefinition(ProbeLoader loader) throws Throwable {
        section("redefinition");
        Class<?> later = Class.forName("qvfix.Later", false, loader);
        step("redefineClasses()", () -> {
            inst.redefineClasses();
            return null;
        });
        step("redefineClasses((ClassDefinition[]) null)", () -> {
            inst.redefineClasses((ClassDefinition[]) null);
            return null;
        });
        step("redefineClasses(null element)", () -> {
            inst.redefineClasses(new ClassDefinition(later, tagged("qvfix/Later", "tag-A").bytes()), null);
            return null;
        });
        step("new ClassDefinition(null, bytes)", () -> new ClassDefinition(null, new byte[1]));
        step("new ClassDefinition(Later, null)", () -> new ClassDefinition(later, null));
        step("redefineClasses(Later) with new bytes", () -> {
            inst.redefineClasses(new ClassDefinition(later, tagged("qvfix/Later", "tag-A").bytes()));
            return tag(later);
        });
        step("redefineClasses(int)", () -> {
            inst.redefineClasses(new ClassDefinition(int.class, tagged("qvfix/Later", "tag-A").bytes()));
            return null;
        }, "int");
        step("redefineClasses(int[])", () -> {
            inst.redefineClasses(new ClassDefinition(int[].class, tagged("qvfix/Later", "tag-A").bytes()));
            return null;
        }, "[I");

        // Refused shapes, on a class no transformer rewrites.
        ProbeLoader shapes = new ProbeLoader("shapes").with(tagged("qvfix/Shape", "tag-A").returning("other", "x"),
                "qvfix/Shape");
        step("load qvfix/Shape", () -> tag(Class.forName("qvfix.Shape", true, shapes)));
        Class<?> shape = Class.forName("qvfix.Shape", false, shapes);
        Map<String, Supplier<byte[]>> refusals = new java.util.LinkedHashMap<>();
        refusals.put("garbage", () -> "not a class file".getBytes(StandardCharsets.UTF_8));
        refusals.put("empty bytes", () -> new byte[0]);
        refusals.put("version 99", () -> shapeBytes().major(99).bytes());
        refusals.put("another name", () -> tagged("qvfix/Elsewhere", "tag-A").returning("other", "x").bytes());
        refusals.put("a method added", () -> shapeBytes().returning("third", "y").bytes());
        refusals.put("a method deleted", () -> tagged("qvfix/Shape", "tag-A").bytes());
        refusals.put("a field added", () -> shapeBytes().field("count").bytes());
        refusals.put("another super class", () -> shapeBytes().superClass("java/lang/Number").access(0x0421).bytes());
        refusals.put("other class modifiers", () -> shapeBytes().access(0x0031).bytes());
        refusals.put("itself as super class", () -> shapeBytes().superClass("qvfix/Shape").bytes());
        refusals.put("code the verifier refuses", () -> shapeBytes().unverifiable().bytes());
        for (Map.Entry<String, Supplier<byte[]>> refusal : refusals.entrySet()) {
            step("redefineClasses(Shape) with " + refusal.getKey(), () -> {
                inst.redefineClasses(new ClassDefinition(shape, refusal.getValue().get()));
                return tag(shape);
            }, "qvfix/Shape");
        }
        step("redefineClasses(Shape, Later) at once, Shape with a method added", () -> {
            inst.redefineClasses(new ClassDefinition(shape, shapeBytes().returning("third", "y").bytes()),
                    new ClassDefinition(later, tagged("qvfix/Later", "tag-A").bytes()));
            return null;
        }, "qvfix/Shape");
        step("tag of Shape afterwards", () -> tag(shape));
    }

    private static void modifiableClasses(ProbeLoader loader) throws Throwable {
        section("isModifiableClass");
        Runnable lambda = () -> { };
        Class<?> hidden = MethodHandles.lookup().defineHiddenClass(ClassBytes.named("qvprobe/Hidden")
                .returning("tag", "h").bytes(), false).lookupClass();
        Object[][] cases = {{"null", null}, {"int", int.class}, {"void", void.class}, {"int[]", int[].class},
            {"String[]", String[].class}, {"Object", Object.class}, {"String", String.class},
            {"a lambda's class", lambda.getClass()}, {"a hidden class", hidden},
            {"qvfix.Later", Class.forName("qvfix.Later", false, loader)}};
        for (Object[] c : cases) {
            step("isModifiableClass(" + c[0] + ")", () -> inst.isModifiableClass((Class<?>) c[1]));
        }
    }

    private static void loadedClasses(ProbeLoader loader) throws Throwable {
        section("loaded classes");
        Class<?> later = Class.forName("qvfix.Later", false, loader);
        Object laterArray = java.lang.reflect.Array.newInstance(later, 1);
        Runnable lambda = () -> { };
        step("getAllLoadedClasses()", () -> {
            Set<Object> all = new java.util.HashSet<>(Arrays.asList((Object[]) inst.getAllLoadedClasses()));
            return "Later=" + all.contains(later) + " Later[]=" + all.contains(laterArray.getClass()) + " int="
                    + all.contains(int.class) + " int[]=" + all.contains(int[].class) + " String="
                    + all.contains(String.class) + " lambda=" + all.contains(lambda.getClass()) + " nulls="
                    + all.contains(null);
        });
        step("getInitiatedClasses(probe loader)", () -> names(inst.getInitiatedClasses(loader)));
        step("getInitiatedClasses(null) holds String", () -> Arrays.asList(inst.getInitiatedClasses(null))
                .contains(String.class));
        step("getInitiatedClasses(a fresh loader)", () -> names(inst.getInitiatedClasses(new ProbeLoader("fresh"))));
    }

    private static void objectSizes() {
        section("getObjectSize");
        step("getObjectSize(null)", () -> inst.getObjectSize(null));
        step("getObjectSize(new Object())", () -> inst.getObjectSize(new Object()));
        step("getObjectSize(new long[10])", () -> inst.getObjectSize(new long[10]));
        step("getObjectSize(String.class)", () -> inst.getObjectSize(String.class) > 0);
    }

    private static void classLoaderSearch(Path work) throws Throwable {
        section("class loader search");
        Path bootJar = jar(work.resolve("boot.jar"), "qvboot/BootThing");
        Path systemJar = jar(work.resolve("system.jar"), "qvsys/SysThing");
        Path goneJar = jar(work.resolve("gone.jar"), "qvgone/Gone");
        // The JDK's messages name the parameter as the Javadoc does: so must Quorvane's.
        stepWithMessage("appendToBootstrapClassLoaderSearch(null)", () -> {
            inst.appendToBootstrapClassLoaderSearch(null);
            return null;
        });
        stepWithMessage("appendToSystemClassLoaderSearch(null)", () -> {
            inst.appendToSystemClassLoaderSearch(null);
            return null;
        });
        step("appendToBootstrapClassLoaderSearch(boot.jar), then load from it", () -> {
            inst.appendToBootstrapClassLoaderSearch(new JarFile(bootJar.toFile()));
            Class<?> c = Class.forName("qvboot.BootThing", true, null);
            return tag(c) + " loader=" + loaderName(c.getClassLoader()) + " module=" + moduleName(c.getModule());
        });
        step("appendToSystemClassLoaderSearch(system.jar), then load from it", () -> {
            inst.appendToSystemClassLoaderSearch(new JarFile(systemJar.toFile()));
            Class<?> c = ClassLoader.getSystemClassLoader().loadClass("qvsys.SysThing");
            return tag(c) + " loader=" + loaderName(c.getClassLoader()) + " module=" + moduleName(c.getModule());
        });
        step("appendToBootstrapClassLoaderSearch(a jar deleted after opening)", () -> {
            JarFile gone = new JarFile(goneJar.toFile());
            Files.delete(goneJar);
            inst.appendToBootstrapClassLoaderSearch(gone);
            return null;
        });
        step("appendToSystemClassLoaderSearch(a jar deleted after opening)", () -> {
            Path again = jar(work.resolve("gone2.jar"), "qvgone/Gone2");
            JarFile gone = new JarFile(again.toFile());
            Files.delete(again);
            inst.appendToSystemClassLoaderSearch(gone);
            return null;
        });
    }

    private static void nativeMethodPrefixes(Recorder[] kept) {
        section("native method prefixes");
        step("setNativeMethodPrefix(null, \"p_\")", () -> {
            inst.setNativeMethodPrefix(null, "p_");
            return null;
        });
        step("setNativeMethodPrefix(never added, \"p_\")", () -> {
            inst.setNativeMethodPrefix(new Recorder("never", (n, b) -> null), "p_");
            return null;
        });
        for (Recorder r : new Recorder[] {kept[0], kept[3]}) {
            for (String prefix : new String[] {"p_", "", null}) {
                step("setNativeMethodPrefix(" + r + ", " + (prefix == null ? "null" : "\"" + prefix + "\"") + ")",
                        () -> {
                            inst.setNativeMethodPrefix(r, prefix);
                            return null;
                        });
            }
        }
    }

    private static void modules(ProbeLoader loader) throws Throwable {
        section("modules");
        Module base = Object.class.getModule();
        Module sql = java.sql.Time.class.getModule();
        Module unnamed = loader.getUnnamedModule();
        Set<Module> none = Set.of();
        Map<String, Set<Module>> noPackages = Map.of();
        Set<Class<?>> noUses = Set.of();
        Map<Class<?>, List<Class<?>>> noProvides = Map.of();
        step("isModifiableModule(null)", () -> inst.isModifiableModule(null));
        step("isModifiableModule(java.base)", () -> inst.isModifiableModule(base));
        step("isModifiableModule(an unnamed module)", () -> inst.isModifiableModule(unnamed));

        stepWithMessage("redefineModule(null, ...)", () -> redefine(null, none, noPackages, noPackages, noUses,
                noProvides));
        step("redefineModule(java.base, null, ...)", () -> redefine(base, null, noPackages, noPackages, noUses, noProvides));
        step("redefineModule(java.base, ..., null exports, ...)", () -> redefine(base, none, null, noPackages, noUses, noProvides));
        step("redefineModule(java.base, ..., null opens, ...)", () -> redefine(base, none, noPackages, null, noUses, noProvides));
        step("redefineModule(java.base, ..., null uses, ...)", () -> redefine(base, none, noPackages, noPackages, null, noProvides));
        step("redefineModule(java.base, ..., null provides)", () -> redefine(base, none, noPackages, noPackages, noUses, null));
        step("redefineModule(an unnamed module, null, ...)", () -> redefine(unnamed, null, noPackages, noPackages, noUses, noProvides));
        step("redefineModule(an unnamed module, nothing)", () -> redefine(unnamed, none, noPackages, noPackages, noUses, noProvides));
        step("redefineModule(java.base, reads holding null)", () -> redefine(base, setOf((Module) null), noPackages, noPackages, noUses, noProvides));
        step("redefineModule(java.base, exports of a package not in it)", () -> redefine(base, none,
                Map.of("qvfix", Set.of(unnamed)), noPackages, noUses, noProvides));
        step("redefineModule(java.base, exports with a null package)", () -> redefine(base, none,
                mapOf(null, Set.of(unnamed)), noPackages, noUses, noProvides));
        step("redefineModule(java.base, exports to null targets)", () -> redefine(base, none,
                mapOf("jdk/internal/misc".replace('/', '.'), null), noPackages, noUses, noProvides));
        step("redefineModule(java.base, exports to targets holding null)", () -> redefine(base, none,
                Map.of("jdk.internal.misc", setOf((Module) null)), noPackages, noUses, noProvides));
        step("redefineModule(java.base, opens of a package not in it)", () -> redefine(base, none, noPackages,
                Map.of("qvfix", Set.of(unnamed)), noUses, noProvides));
        step("redefineModule(java.base, exports to an empty target set)", () -> redefine(base, none,
                Map.of("java.util", Set.of()), noPackages, noUses, noProvides));
        step("redefineModule(java.base, opens to an empty target set)", () -> redefine(base, none, noPackages,
                Map.of("java.util", Set.of()), noUses, noProvides));
        step("redefineModule(java.base, uses holding null)", () -> redefine(base, none, noPackages, noPackages,
                setOf((Class<?>) null), noProvides));
        step("redefineModule(java.sql, provides with no providers)", () -> redefine(sql, none, noPackages, noPackages,
                noUses, Map.of(Runnable.class, List.of())));
        step("redefineModule(java.sql, provides with a provider not in it)", () -> redefine(sql, none, noPackages,
                noPackages, noUses, Map.of(Runnable.class, List.of(Thread.class))));
        step("redefineModule(java.sql, provides with a null provider)", () -> redefine(sql, none, noPackages,
                noPackages, noUses, Map.of(Runnable.class, listOf((Class<?>) null))));
        step("redefineModule(java.sql, provides with a null service)", () -> redefine(sql, none, noPackages,
                noPackages, noUses, mapOf2(null, List.of(java.sql.Time.class))));
        step("redefineModule(java.sql, provides of a provider that is no service)", () -> redefine(sql, none,
                noPackages, noPackages, noUses, Map.of(Runnable.class, List.of(java.sql.Time.class))));

        Class<?> later = Class.forName("qvfix.Later", false, loader);
        step("before: java.base exports jdk.internal.misc / opens java.util to the unnamed module, java.sql reads it, "
                + "java.sql uses Later", () -> base.isExported("jdk.internal.misc", unnamed) + " "
                + base.isOpen("java.util", unnamed) + " " + sql.canRead(unnamed) + " " + sql.canUse(later));
        step("redefineModule(java.base/java.sql, reads, exports, opens, uses)", () -> {
            redefine(base, none, Map.of("jdk.internal.misc", Set.of(unnamed)), Map.of("java.util", Set.of(unnamed)),
                    noUses, noProvides);
            redefine(sql, Set.of(unnamed), noPackages, noPackages, Set.of(later), noProvides);
            return base.isExported("jdk.internal.misc", unnamed) + " " + base.isOpen("java.util", unnamed) + " "
                    + sql.canRead(unnamed) + " " + sql.canUse(later);
        });
    }

    private static void removal(Recorder[] kept) throws Throwable {
        section("removal");
        for (Recorder r : kept) {
            step("removeTransformer(" + r + ")", () -> inst.removeTransformer(r));
            step("removeTransformer(" + r + ") again", () -> inst.removeTransformer(r));
        }
        // The same transformer twice around another: which one does a remove take?
        Recorder twice = new Recorder("W-twice", (n, b) -> null);
        Recorder between = new Recorder("Y-between", (n, b) -> null);
        inst.addTransformer(twice);
        inst.addTransformer(between);
        inst.addTransformer(twice);
        step("removeTransformer(W) of W, Y, W", () -> inst.removeTransformer(twice));
        ProbeLoader order = new ProbeLoader("order").with(tagged("qvfix/Order", "tag-A"), "qvfix/Order");
        step("load qvfix/Order", () -> tag(Class.forName("qvfix.Order", true, order)));
        inst.removeTransformer(twice);
        inst.removeTransformer(between);
        // One transformer of both kinds: which one does a remove take?
        Recorder both = new Recorder("Z-both-kinds", (n, b) -> null);
        inst.addTransformer(both, true);
        inst.addTransformer(both, false);
        step("removeTransformer(Z) of Z (retransformable), Z", () -> inst.removeTransformer(both));
        ProbeLoader kinds = new ProbeLoader("kinds").with(tagged("qvfix/Kinds", "tag-A"), "qvfix/Kinds");
        step("load qvfix/Kinds", () -> tag(Class.forName("qvfix.Kinds", true, kinds)));
        step("retransformClasses(Kinds): is the retransformable Z left?", () -> {
            inst.retransformClasses(Class.forName("qvfix.Kinds", false, kinds));
            return null;
        });
        step("setNativeMethodPrefix(Z, \"z_\") when it is retransformable only", () -> {
            inst.setNativeMethodPrefix(both, "z_");
            return null;
        });
        step("removeTransformer(Z) again", () -> inst.removeTransformer(both));
        ProbeLoader after = new ProbeLoader("after").with(tagged("qvfix/After", "tag-A"), "qvfix/After");
        step("load qvfix/After with no transformer", () -> tag(Class.forName("qvfix.After", true, after)));
    }

    // ---- helpers

    private static void section(String name) {
        out.println();
        out.println("== " + name);
    }

    private static void step(String what, Step step) {
        step(what, step, null);
    }

    /** As step, with the exception's message in the transcript too. */
    private static void stepWithMessage(String what, Step step) {
        step(what, () -> {
            try {
                return step.run();
            } catch (Throwable e) {
                out.println(what + " message: " + e.getMessage());
                throw e;
            }
        });
    }

    /**
     * Runs one call and writes its outcome and the transformer calls it caused. With
     * Quorvane, an exception that stands for the VM's refusal must name the class.
     */
    private static void step(String what, Step step, String className) {
        calls.clear();
        String outcome;
        try {
            outcome = "-> " + step.run();
        } catch (Throwable e) {
            outcome = "-> threw " + e.getClass().getName();
            System.err.println(what + ": " + e);
            if (quorvane && className != null && e.getClass() != NullPointerException.class
                    && (e.getMessage() == null || !e.getMessage().contains(className))) {
                problems.add(what + ": the message does not name " + className + ": " + e);
            }
        }
        out.println(what + " " + outcome);
        List<String> seen;
        synchronized (calls) {
            seen = new ArrayList<>(calls);
        }
        for (String call : seen) {
            out.println("    " + call);
        }
    }

    private static Object redefine(Module module, Set<Module> reads, Map<String, Set<Module>> exports,
            Map<String, Set<Module>> opens, Set<Class<?>> uses, Map<Class<?>, List<Class<?>>> provides) {
        inst.redefineModule(module, reads, exports, opens, uses, provides);
        return null;
    }

    /** A set holding null, which Set.of refuses. */
    private static <T> Set<T> setOf(T item) {
        Set<T> set = new java.util.HashSet<>();
        set.add(item);
        return set;
    }

    private static <T> List<T> listOf(T item) {
        List<T> list = new ArrayList<>();
        list.add(item);
        return list;
    }

    private static Map<String, Set<Module>> mapOf(String key, Set<Module> value) {
        Map<String, Set<Module>> map = new HashMap<>();
        map.put(key, value);
        return map;
    }

    private static Map<Class<?>, List<Class<?>>> mapOf2(Class<?> key, List<Class<?>> value) {
        Map<Class<?>, List<Class<?>>> map = new HashMap<>();
        map.put(key, value);
        return map;
    }

    private static boolean interesting(String name, ClassLoader loader) {
        if (name == null) {
            return loader instanceof ProbeLoader;
        }
        if (name.startsWith("qvfix/") || name.startsWith("qvboot/") || name.startsWith("qvsys/")) {
            return true;
        }
        for (String tracked : TRACKED) {
            if (name.equals(tracked)) {
                return true;
            }
        }
        return false;
    }

    static ClassBytes tagged(String internalName, String tag) {
        return ClassBytes.named(internalName).returning("tag", tag);
    }

    private static ClassBytes shapeBytes() {
        return tagged("qvfix/Shape", "tag-A").returning("other", "x");
    }

    /** What a misbehaving transformer returns for the victim class. */
    private static byte[] breakClass(String name, String how) {
        if (!name.equals("qvfix/Victim")) {
            return null;
        }
        switch (how) {
            case "adds":
                return tagged(name, "tag-A").returning("more", "m").bytes();
            case "v99":
                return tagged(name, "tag-A").major(99).bytes();
            case "renamed":
                return tagged("qvfix/Renamed", "tag-A").bytes();
            default:
                return how.getBytes(StandardCharsets.UTF_8);
        }
    }

    /** The bytes with one equal-length string swapped for another, or null when absent. */
    static byte[] replace(byte[] bytes, String from, String to) {
        byte[] f = from.getBytes(StandardCharsets.UTF_8);
        byte[] t = to.getBytes(StandardCharsets.UTF_8);
        outer:
        for (int i = 0; i + f.length <= bytes.length; i++) {
            for (int j = 0; j < f.length; j++) {
                if (bytes[i + j] != f[j]) {
                    continue outer;
                }
            }
            byte[] copy = bytes.clone();
            System.arraycopy(t, 0, copy, i, t.length);
            return copy;
        }
        return null;
    }

    private static String tag(Class<?> c) throws ReflectiveOperationException {
        return "tag=" + c.getMethod("tag").invoke(null);
    }

    private static String names(Class<?>[] classes) {
        TreeSet<String> names = new TreeSet<>();
        for (Class<?> c : classes) {
            names.add(c.getName());
        }
        return names.toString();
    }

    static String moduleName(Module module) {
        if (module == null) {
            return "null";
        }
        return module.isNamed() ? module.getName() : "unnamed(" + loaderName(module.getClassLoader()) + ")";
    }

    static String loaderName(ClassLoader loader) {
        if (loader == null) {
            return "boot";
        }
        if (loader instanceof ProbeLoader) {
            return "probe";
        }
        return loader.getClass().getName();
    }

    private static String domainName(ProtectionDomain domain) {
        if (domain == null) {
            return "null";
        }
        CodeSource source = domain.getCodeSource();
        if (source == null || source.getLocation() == null) {
            return "no-location";
        }
        String path = source.getLocation().getPath();
        return path.substring(path.lastIndexOf('/', path.length() - 2) + 1);
    }

    private static String digest(byte[] bytes) {
        if (bytes == null) {
            return "null";
        }
        CRC32 crc = new CRC32();
        crc.update(bytes);
        return bytes.length + "/" + Long.toHexString(crc.getValue());
    }

    /** A jar holding one generated class, written into the working directory. */
    private static Path jar(Path file, String internalName) throws IOException {
        try (OutputStream stream = Files.newOutputStream(file); JarOutputStream jar = new JarOutputStream(stream)) {
            jar.putNextEntry(new JarEntry(internalName + ".class"));
            jar.write(tagged(internalName, "tag-A").bytes());
            jar.closeEntry();
        }
        return file;
    }
}
